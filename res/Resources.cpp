#include "Resources.h"

#include <QFile>

#include <mutex>

static void InitResourcesOnce() {
    Q_INIT_RESOURCE(vandrel);
}

void InitVandrelResources() {
    static std::once_flag once;
    std::call_once(once, InitResourcesOnce);
}

namespace {

struct IconFiles {
    int id;
    const char* stem;
    std::initializer_list<int> sizes;
};

const IconFiles kIcons[] = {
    {IDI_PROGRAM, "program", {16, 24, 32, 48, 64, 128, 256}},
    {IDI_CONNECT_IN, "connect-in", {16, 24, 32, 48}},
    {IDI_CONNECT_OUT, "connect-out", {16, 24, 32, 48}},
    {IDI_INFORMATION, "information", {32, 48, 64}},
    {IDI_DUMP_TO_SCREEN, "dump-screen", {16, 24, 32, 48}},
    {IDI_DUMP_TO_FILE, "dump-file", {16, 24, 32, 48}},
};

const IconFiles* FindIcon(int id) {
    for (const IconFiles& icon : kIcons) {
        if (icon.id == id)
            return &icon;
    }
    return nullptr;
}

} // namespace

QString ResIconPath(int id, int size) {
    const IconFiles* icon = FindIcon(id);
    if (!icon)
        return {};
    for (int s : icon->sizes) {
        if (s == size)
            return QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(icon->stem)).arg(size);
    }
    return {};
}

QIcon LoadResIcon(int id) {
    InitVandrelResources();
    const IconFiles* icon = FindIcon(id);
    QIcon result;
    if (!icon)
        return result;
    for (int size : icon->sizes)
        result.addFile(ResIconPath(id, size), QSize(size, size));
    return result;
}

QPixmap LoadResBitmap(int id) {
    InitVandrelResources();
    if (id != IDB_FILE_LIST)
        return {};
    // The "@2x" file is picked up for screens with a device pixel ratio of 2.
    return QPixmap(QStringLiteral(":/bitmaps/file-list.png"));
}

QByteArray LoadResWave(const QString& name) {
    InitVandrelResources();
    QFile file(QStringLiteral(":/sounds/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
