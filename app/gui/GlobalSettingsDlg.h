// CGlobalSettingsDlg: "Global Settings". The two flash writer files, the RS232 port and baud rate,
// and the devices behind the port names on this machine: for the selected COM number the device
// it opens (a serial adapter, /dev/ttyS*, or the virtual handset's pseudo-terminal), and the USB
// device (a device node or the virtual handset's socket).
//
// The dialog edits copies; the caller takes Settings() and PortMap() when it ended with OK.
// Nothing is written to the settings store here.
#pragma once

#include <QDialog>

#include "app/AppSettings.h"
#include "app/ComPortMap.h"

class CFileEditCtrl;
class QComboBox;
class QLabel;
class cdxCRotBevelLine;

class CGlobalSettingsDlg : public QDialog {
    Q_OBJECT
public:
    // portOpen: a link is open (the port, its baud rate and the devices cannot change then).
    CGlobalSettingsDlg(bool portOpen, const AppSettings& settings, const TS_COM_PORT_MAP& portMap,
                       QWidget* parent = nullptr);

    const AppSettings& Settings() const { return m_settings; }
    const TS_COM_PORT_MAP& PortMap() const { return m_portMap; }

    // The check made on OK: the first message that keeps the dialog open, empty when none.
    QString ValidationMessage() const;
    // The check of one device path: empty when it can be opened as that kind of device.
    static QString DeviceMessage(const QString& name, const QString& path, bool usb);

    CFileEditCtrl* UartWriterEdit() const { return m_uartWriter; }
    CFileEditCtrl* UsbWriterEdit() const { return m_usbWriter; }
    QComboBox* PortCombo() const { return m_port; }
    QComboBox* BaudCombo() const { return m_baud; }
    QComboBox* ComDeviceCombo() const { return m_comDevice; }
    QComboBox* UsbDeviceCombo() const { return m_usbDevice; }

public slots:
    void accept() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void ShowComDevice(int port);
    void KeepComDevice();
    bool CheckControls(bool showMessages);
    void ShowMessage(const QString& text, QWidget* focus);

    bool m_portOpen;
    AppSettings m_settings;
    TS_COM_PORT_MAP m_portMap;
    TS_COM_PORT_MAP m_edited; // the map as the controls show it
    int m_shownPort = -1;     // the COM number whose device the device box shows (0-based)

    CFileEditCtrl* m_uartWriter;
    CFileEditCtrl* m_usbWriter;
    cdxCRotBevelLine* m_rs232Heading;
    QComboBox* m_port;
    QComboBox* m_baud;
    QLabel* m_portLabel;
    QLabel* m_baudLabel;
    QLabel* m_comDeviceLabel;
    QComboBox* m_comDevice;
    QLabel* m_comDeviceNote;
    QLabel* m_usbDeviceLabel;
    QComboBox* m_usbDevice;
    QLabel* m_usbDeviceNote;
};
