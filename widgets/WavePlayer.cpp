#include "WavePlayer.h"

#include <QFile>

bool CWavePlayer::LoadFromFile(const QString& path) {
    return m_playback.LoadFromFile(QFile::encodeName(path).toStdString());
}

bool CWavePlayer::LoadFromResource(const QString& name, QWidget*) {
    QFile file(QStringLiteral(":/sounds/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        m_playback.LoadFromMemory({}); // drops the old sound, as a failed file load does
        return false;
    }
    const QByteArray bytes = file.readAll();
    return m_playback.LoadFromMemory(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())));
}

void CWavePlayer::Play(quint32 position, bool loop) {
    m_playback.Play(position, loop);
}

void CWavePlayer::Stop() {
    m_playback.Stop();
}
