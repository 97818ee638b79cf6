// The open-file dialog of the file path edit: Qt's own (not the desktop's) dialog, so that its
// accept button reads "OK" everywhere and tests can drive it.
#pragma once

#include <QFileDialog>

class CFECFileDialog : public QFileDialog {
    Q_OBJECT
public:
    // The filter of flash files, as the program writes it.
    static const char* const kDefaultFilter;

    explicit CFECFileDialog(QWidget* parent = nullptr,
                            const QString& title = QStringLiteral("Browse for File"),
                            const QString& filter = QString::fromLatin1(kDefaultFilter));

    // Turns a filter of the form "Label|patterns|Label|patterns||" into the dialog's name filters.
    // A pattern "*.*" matches every file, as it does on the platform the format comes from.
    static QStringList NameFiltersFrom(const QString& filter);

    // Gives any of Qt's own file dialogs the file types of such a filter: each label shows as it
    // stands, and an entry "*.*" lists every file, names without a dot included.
    static void SetFilter(QFileDialog& dialog, const QString& filter);
};
