// The program's sound: a ".wav" file or a sound compiled into the program, played through the
// shared sound device on its own thread. Without a sound device it stays silent; nothing is
// ever reported and no call waits for the sound.
#pragma once

#include "platform/sound/WavePlayback.h"

#include <QString>

class QWidget;

class CWavePlayer {
public:
    CWavePlayer() = default;

    // False (and silence) when the file is missing, unreadable or not a playable wave file.
    bool LoadFromFile(const QString& path);
    // A sound of the program's resources (":/sounds/<name>"); window is not needed here.
    bool LoadFromResource(const QString& name, QWidget* window = nullptr);

    // Plays from byte position (cut to the sound's length), once or in a loop.
    void Play(quint32 position = 0, bool loop = false);
    void Stop();

    bool IsLoaded() const { return m_playback.IsLoaded(); }
    bool IsPlaying() const { return m_playback.IsPlaying(); }
    void SetEnabled(bool enabled) { m_playback.SetEnabled(enabled); }
    bool IsEnabled() const { return m_playback.IsEnabled(); }
    QString LastError() const { return QString::fromStdString(m_playback.LastError()); }
    platform::CWavePlayback& Playback() { return m_playback; }

private:
    platform::CWavePlayback m_playback;
};
