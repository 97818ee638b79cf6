#include "GlobalSettingsDlg.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "ControlId.h"
#include "FileEditCtrl.h"
#include "cdxCRotBevelLine.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"
#include "resource.h"

namespace {

const char* const kBaudTexts[] = {"110 bps",   "300 bps",   "600 bps",    "1200 bps",   "2400 bps",
                                  "4800 bps",  "9600 bps",  "14400 bps",  "19200 bps",  "38400 bps",
                                  "56000 bps", "57600 bps", "115200 bps", "128000 bps", "256000 bps"};
constexpr const char* kUsbDeviceName = "\\\\.\\Csr0";

QString EnvironmentPath(const char* variable) {
    return QString::fromLocal8Bit(qgetenv(variable));
}

QString ComVariable(int port) {
    return QStringLiteral("VANDREL_COM%1").arg(port + 1);
}

QComboBox* DeviceCombo(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setMinimumContentsLength(22);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    return combo;
}

QLabel* NoteLabel(QWidget* parent) {
    auto* note = new QLabel(parent);
    note->setTextFormat(Qt::PlainText);
    QPalette palette = note->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Disabled, QPalette::WindowText));
    note->setPalette(palette);
    return note;
}

} // namespace

CGlobalSettingsDlg::CGlobalSettingsDlg(bool portOpen, const AppSettings& settings,
                                       const TS_COM_PORT_MAP& portMap, QWidget* parent)
    : QDialog(parent), m_portOpen(portOpen), m_settings(settings), m_portMap(portMap), m_edited(portMap) {
    setObjectName(QStringLiteral("CGlobalSettingsDlg"));
    setProperty("templateId", IDD_GLOBAL_SETTINGS);
    setWindowTitle(QStringLiteral("Global Settings"));

    // ---- the flash writer files
    auto* writerHeading = new cdxCRotBevelLine(QStringLiteral("Flash Writer File"), this);
    SetControlId(writerHeading, IDC_FLASH_WRITER_HEADING);
    auto* uartLabel = new QLabel(QStringLiteral("RS232 :"), this);
    m_uartWriter = new CFileEditCtrl(this, FILEEDIT_FILE | FILEEDIT_BUTTON_TIP);
    SetControlId(m_uartWriter, IDC_UART_WRITER_PATH);
    auto* usbLabel = new QLabel(QStringLiteral("USB    :"), this);
    m_usbWriter = new CFileEditCtrl(this, FILEEDIT_FILE | FILEEDIT_BUTTON_TIP);
    SetControlId(m_usbWriter, IDC_USB_WRITER_PATH);
    for (CFileEditCtrl* edit : {m_uartWriter, m_usbWriter}) {
        edit->SetButtonWidth(20);
        edit->setAcceptDrops(true);
        edit->setMinimumWidth(360);
    }
    m_uartWriter->setText(QString::fromStdString(m_settings.FlashWriterPath[PORT_UART]));
    m_usbWriter->setText(QString::fromStdString(m_settings.FlashWriterPath[PORT_USB]));

    // ---- the RS232 port
    m_rs232Heading = new cdxCRotBevelLine(QStringLiteral("RS232 Configuration "), this);
    SetControlId(m_rs232Heading, IDC_RS232_HEADING);
    m_portLabel = new QLabel(QStringLiteral("Port :"), this);
    SetControlId(m_portLabel, IDC_PORT_LABEL);
    m_port = new QComboBox(this);
    SetControlId(m_port, IDC_PORT);
    for (int n = 1; n <= 4; ++n) {
        m_port->addItem(QStringLiteral("COM %1").arg(n));
    }
    m_baudLabel = new QLabel(QStringLiteral("Baudrate :"), this);
    SetControlId(m_baudLabel, IDC_BAUDRATE_LABEL);
    m_baud = new QComboBox(this);
    SetControlId(m_baud, IDC_BAUDRATE);
    for (const char* text : kBaudTexts) {
        m_baud->addItem(QString::fromLatin1(text));
    }
    m_port->setCurrentIndex(qBound(0, m_settings.PortConfig.Port, 3));
    m_baud->setCurrentIndex(qBound(0, m_settings.PortConfig.Baud, 14));

    m_comDeviceLabel = new QLabel(QStringLiteral("Device :"), this);
    m_comDevice = DeviceCombo(this);
    m_comDevice->setObjectName(QStringLiteral("comDevice"));
    for (const std::string& path : QuilletListSerialDevices()) {
        m_comDevice->addItem(QString::fromStdString(path));
    }
    m_comDeviceNote = NoteLabel(this);
    m_comDeviceLabel->setBuddy(m_comDevice);

    // ---- the USB device
    auto* usbHeading = new cdxCRotBevelLine(QStringLiteral("USB Device "), this);
    m_usbDeviceLabel = new QLabel(QStringLiteral("Device :"), this);
    m_usbDevice = DeviceCombo(this);
    m_usbDevice->setObjectName(QStringLiteral("usbDevice"));
    m_usbDeviceNote = NoteLabel(this);
    const QString usbVariable = EnvironmentPath("VANDREL_USB_DEVICE");
    if (!usbVariable.isEmpty()) {
        m_usbDevice->setEditText(usbVariable);
        m_usbDevice->setEnabled(false);
        m_usbDeviceNote->setText(QStringLiteral("set by VANDREL_USB_DEVICE"));
    } else {
        m_usbDevice->setEditText(QString::fromStdString(m_edited.UsbDevice));
        m_usbDevice->lineEdit()->setPlaceholderText(
            m_portMap.UsbDevice.empty()
                ? QString::fromStdString(QuilletResolveDevice(kUsbDeviceName)) + QStringLiteral("  (default)")
                : QStringLiteral("(default device)"));
        m_usbDeviceNote->setText(QStringLiteral("a device node or the virtual handset's socket"));
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("OK"));
    SetControlId(ok, IDOK);
    QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
    cancel->setText(QStringLiteral("Cancel"));
    SetControlId(cancel, IDCANCEL);
    connect(buttons, &QDialogButtonBox::accepted, this, &CGlobalSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CGlobalSettingsDlg::reject);

    // ---- layout
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);
    grid->setColumnMinimumWidth(0, 12);
    int row = 0;
    grid->addWidget(writerHeading, row++, 0, 1, 5);
    grid->addWidget(uartLabel, row, 1);
    grid->addWidget(m_uartWriter, row++, 2, 1, 3);
    grid->addWidget(usbLabel, row, 1);
    grid->addWidget(m_usbWriter, row++, 2, 1, 3);
    grid->setRowMinimumHeight(row++, 6);
    grid->addWidget(m_rs232Heading, row++, 0, 1, 5);
    grid->addWidget(m_portLabel, row, 1);
    grid->addWidget(m_port, row, 2);
    grid->addWidget(m_comDeviceLabel, row, 3, Qt::AlignRight);
    grid->addWidget(m_comDevice, row++, 4);
    grid->addWidget(m_comDeviceNote, row++, 4);
    grid->addWidget(m_baudLabel, row, 1);
    grid->addWidget(m_baud, row++, 2);
    grid->setRowMinimumHeight(row++, 6);
    grid->addWidget(usbHeading, row++, 0, 1, 5);
    grid->addWidget(m_usbDeviceLabel, row, 1);
    grid->addWidget(m_usbDevice, row++, 2, 1, 3);
    grid->addWidget(m_usbDeviceNote, row++, 2, 1, 3);
    grid->setColumnStretch(4, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    ShowComDevice(m_port->currentIndex());
    connect(m_port, &QComboBox::currentIndexChanged, this, [this](int port) {
        KeepComDevice();
        ShowComDevice(port);
    });

    // the RS232 group cannot change while a link is open or while the port type is USB
    const bool rs232Off = m_portOpen || m_settings.PortConfig.PortType == PORT_USB;
    for (QWidget* w : std::initializer_list<QWidget*>{m_rs232Heading, m_port, m_baud, m_portLabel,
                                                      m_baudLabel, m_comDeviceLabel, m_comDeviceNote}) {
        w->setEnabled(!rs232Off);
    }
    m_comDevice->setEnabled(!rs232Off &&
                            EnvironmentPath(ComVariable(m_port->currentIndex()).toLatin1()).isEmpty());
    if (m_portOpen) {
        usbHeading->setEnabled(false);
        m_usbDeviceLabel->setEnabled(false);
        m_usbDevice->setEnabled(false);
        m_usbDeviceNote->setEnabled(false);
    }
}

void CGlobalSettingsDlg::ShowComDevice(int port) {
    m_shownPort = port;
    if (port < 0 || port > 3) {
        return;
    }
    const QString variable = ComVariable(port);
    const QString fromEnvironment = EnvironmentPath(variable.toLatin1());
    const bool rs232Off = m_portOpen || m_settings.PortConfig.PortType == PORT_USB;
    const std::string name = "COM" + std::to_string(port + 1);
    if (!fromEnvironment.isEmpty()) {
        m_comDevice->setEditText(fromEnvironment);
        m_comDevice->setEnabled(false);
        m_comDeviceNote->setText(QStringLiteral("set by %1").arg(variable));
        return;
    }
    m_comDevice->setEnabled(!rs232Off);
    m_comDevice->setEditText(QString::fromStdString(m_edited.ComDevice[static_cast<std::size_t>(port)]));
    m_comDevice->lineEdit()->setPlaceholderText(m_portMap.ComDevice[static_cast<std::size_t>(port)].empty()
                                                    ? QString::fromStdString(QuilletResolveDevice(name)) +
                                                          QStringLiteral("  (default)")
                                                    : QStringLiteral("(default device)"));
    m_comDeviceNote->setText(QStringLiteral("the device COM %1 opens on this machine").arg(port + 1));
}

void CGlobalSettingsDlg::KeepComDevice() {
    if (m_shownPort < 0 || m_shownPort > 3 ||
        !EnvironmentPath(ComVariable(m_shownPort).toLatin1()).isEmpty()) {
        return;
    }
    m_edited.ComDevice[static_cast<std::size_t>(m_shownPort)] =
        m_comDevice->currentText().trimmed().toStdString();
}

QString CGlobalSettingsDlg::DeviceMessage(const QString& name, const QString& path, bool usb) {
    if (usb && QuilletIsUsbDeviceText(path.toStdString())) {
        // a libusb device: the text must parse; the handset may be plugged in later
        TS_USB_DEVICE_TEXT device;
        std::string problem;
        return QuilletParseUsbDeviceText(path.toStdString(), device, problem)
                   ? QString()
                   : QString::fromStdString(problem);
    }
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0) {
        return QStringLiteral("%1 device %2 does not exist.").arg(name, path);
    }
    if (S_ISCHR(st.st_mode) || (usb && S_ISSOCK(st.st_mode))) {
        return {};
    }
    return usb ? QStringLiteral("%1 device %2 is neither a device nor a socket.").arg(name, path)
               : QStringLiteral("%1 device %2 is not a serial device.").arg(name, path);
}

QString CGlobalSettingsDlg::ValidationMessage() const {
    QString message = m_uartWriter->ValidationMessage();
    if (message.isEmpty()) {
        message = m_usbWriter->ValidationMessage();
    }
    if (!message.isEmpty()) {
        return message;
    }
    TS_COM_PORT_MAP edited = m_edited;
    if (m_shownPort >= 0 && m_shownPort <= 3 && m_comDevice->isEnabled()) {
        edited.ComDevice[static_cast<std::size_t>(m_shownPort)] =
            m_comDevice->currentText().trimmed().toStdString();
    }
    if (m_usbDevice->isEnabled()) {
        edited.UsbDevice = m_usbDevice->currentText().trimmed().toStdString();
    }
    // only what was changed here is checked: a saved adapter that is unplugged now stays saved
    for (std::size_t n = 0; n < edited.ComDevice.size(); ++n) {
        const std::string& path = edited.ComDevice[n];
        if (!path.empty() && path != m_portMap.ComDevice[n]) {
            message = DeviceMessage(QStringLiteral("COM%1").arg(n + 1), QString::fromStdString(path), false);
            if (!message.isEmpty()) {
                return message;
            }
        }
    }
    if (!edited.UsbDevice.empty() && edited.UsbDevice != m_portMap.UsbDevice) {
        return DeviceMessage(QStringLiteral("USB"), QString::fromStdString(edited.UsbDevice), true);
    }
    return {};
}

void CGlobalSettingsDlg::ShowMessage(const QString& text, QWidget* focus) {
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), text, QMessageBox::Ok, this);
    box.exec();
    if (focus) {
        focus->setFocus(Qt::OtherFocusReason);
    }
}

bool CGlobalSettingsDlg::CheckControls(bool showMessages) {
    for (CFileEditCtrl* edit : {m_uartWriter, m_usbWriter}) {
        if (!(showMessages ? edit->Validate() : edit->ValidationMessage().isEmpty())) {
            return false;
        }
    }
    KeepComDevice();
    if (m_usbDevice->isEnabled()) {
        m_edited.UsbDevice = m_usbDevice->currentText().trimmed().toStdString();
    }
    const QString message = ValidationMessage();
    if (!message.isEmpty()) {
        if (showMessages) {
            ShowMessage(message, message.startsWith(QLatin1String("USB")) ? m_usbDevice : m_comDevice);
        }
        return false;
    }
    return true;
}

void CGlobalSettingsDlg::accept() {
    if (!CheckControls(true)) {
        return; // the dialog stays open
    }
    if (m_port->isEnabled()) {
        m_settings.PortConfig.Port = m_port->currentIndex();
        m_settings.PortConfig.Baud = m_baud->currentIndex();
    }
    m_settings.FlashWriterPath[PORT_UART] = m_uartWriter->FirstPath().toStdString();
    m_settings.FlashWriterPath[PORT_USB] = m_usbWriter->FirstPath().toStdString();
    m_portMap = m_edited;
    QDialog::accept();
}

void CGlobalSettingsDlg::closeEvent(QCloseEvent* event) {
    // the close box reads the controls first, so that a bad path shows its message, and then
    // ends the dialog as Cancel
    CheckControls(true);
    QDialog::closeEvent(event);
}
