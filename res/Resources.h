// The program's pictures and sounds by their numbers in resource.h. The files live in the
// Qt resource file vandrel.qrc (":/icons/...", ":/bitmaps/...", ":/sounds/...").
#pragma once

#include "resource.h"

#include <QByteArray>
#include <QIcon>
#include <QPixmap>
#include <QString>

// Registers the resource file; call once before using ":/" paths directly (the Load functions
// below call it themselves). Safe to call more than once.
void InitVandrelResources();

// An icon with every size drawn for it (16 to 256 px for the program). A null icon for a number
// that names no icon.
QIcon LoadResIcon(int id);
// The resource path of one size of an icon, empty when there is no such picture.
QString ResIconPath(int id, int size);
// A bitmap (IDB_FILE_LIST: the 16 x 16 file image, with a 32 x 32 one for high-density screens).
QPixmap LoadResBitmap(int id);
// The bytes of a sound of the program's resources, such as "Dizezazu.wav"; empty when missing.
QByteArray LoadResWave(const QString& name);
