#include "FECFileDialog.h"

const char* const CFECFileDialog::kDefaultFilter = "Motorola S-records(*.m0)|*.m0|All Files (*.*)|*.*||";

CFECFileDialog::CFECFileDialog(QWidget* parent, const QString& title, const QString& filter)
    : QFileDialog(parent, title) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(QFileDialog::ExistingFile);
    setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    SetFilter(*this, filter);
}

void CFECFileDialog::SetFilter(QFileDialog& dialog, const QString& filter) {
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilters(NameFiltersFrom(filter));
}

QStringList CFECFileDialog::NameFiltersFrom(const QString& filter) {
    QStringList result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString label = parts[i];
        if (label.isEmpty())
            break;
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& p : patterns) {
            p = p.trimmed();
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        }
        // With the filter details hidden, the dialog shows the label as it stands.
        result.append(label + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')'));
    }
    return result;
}
