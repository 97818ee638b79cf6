#include "Gallery.h"

#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "FileEditCtrl.h"
#include "LinkLabel.h"
#include "PageTabCtrl.h"
#include "Resources.h"
#include "RoundFaceButton.h"
#include "XHeaderCtrl.h"
#include "XListCtrl.h"
#include "cdxCRotBevelLine.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QVBoxLayout>

namespace {

QString MakeSample(const QString& folder, const QString& name, qint64 bytes) {
    const QString path = folder + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray(bytes, 'S'));
        file.close();
    }
    return path;
}

QLabel* Caption(const QString& text) {
    auto* label = new QLabel(text);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

std::unique_ptr<QWidget> Window(const QString& title) {
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(title);
    window->setAutoFillBackground(true);
    return window;
}

void Hover(QWidget* widget) {
    const QPointF centre = QRectF(widget->rect()).center();
    QEnterEvent enter(centre, widget->mapToGlobal(centre), widget->mapToGlobal(centre));
    QApplication::sendEvent(widget, &enter);
    QMouseEvent move(QEvent::MouseMove, centre, widget->mapToGlobal(centre), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

CXListCtrl* MainWindowList(QWidget* parent) {
    auto* list = new CXListCtrl(parent);
    SetControlId(list, IDC_FILE_LIST);
    list->SetFullRowSelect(true);
    list->SetShowSelectionAlways(true);
    const int w = 460 - 2;
    list->InsertColumn(0, QStringLiteral("Pathname"), LVCFMT_LEFT, w * 43 / 50);
    list->InsertColumn(1, QStringLiteral("Size"), LVCFMT_CENTER, w - w * 43 / 50 - 2);
    list->SetImageList(LoadResBitmap(IDB_FILE_LIST), 16);
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_FILTER_EXT;
    rules.filter = QStringLiteral(".m0");
    list->SetDropRules(rules);
    list->setFixedSize(460, 150);
    return list;
}

// --- pages -----------------------------------------------------------------------------------

std::unique_ptr<QWidget> FileListPage(const QString& samples) {
    auto window = Window(QStringLiteral("CXListCtrl"));
    auto* grid = new QGridLayout(window.get());

    grid->addWidget(Caption(QStringLiteral("Empty: the message below the header")), 0, 0);
    grid->addWidget(MainWindowList(window.get()), 1, 0);

    grid->addWidget(Caption(QStringLiteral("Three files; the second downloading (bold), selected")), 0, 1);
    CXListCtrl* files = MainWindowList(window.get());
    files->AddFile(MakeSample(samples, QStringLiteral("writer/uart_flashwriter.m0"), 41250));
    files->AddFile(MakeSample(samples, QStringLiteral("images/r3700_main_v30.m0"), 3276800));
    files->AddFile(MakeSample(samples, QStringLiteral("images/r3700_media.m0"), 1500000));
    files->SetCellBold(1, 0, true);
    files->SetCurSel(1);
    files->setFocus();
    grid->addWidget(files, 1, 1);

    grid->addWidget(Caption(QStringLiteral("Check boxes, header check box, progress, colours, disabled row")),
                    2, 0, 1, 2);
    auto* cells = new CXListCtrl(window.get());
    cells->SetFullRowSelect(true);
    cells->InsertColumn(0, QStringLiteral("Area"), LVCFMT_LEFT, 200);
    cells->InsertColumn(1, QStringLiteral("Erase"), LVCFMT_LEFT, 110);
    cells->InsertColumn(2, QStringLiteral("Progress"), LVCFMT_LEFT, 190);
    cells->InsertColumn(3, QStringLiteral("State"), LVCFMT_CENTER, 120);
    cells->InsertColumn(4, QString(), LVCFMT_CENTER, 40);
    cells->SetImageList(LoadResBitmap(IDB_FILE_LIST), 16);
    const char* areas[] = {"Ostra Boot Block", "Ostra Main Block", "Ostra C-Drive Block",
                           "Ostra Media Block"};
    const int percents[] = {100, 50, 0, 30};
    for (int row = 0; row < 4; ++row) {
        cells->InsertItem(row, QString::fromLatin1(areas[row]), 0);
        cells->SetItemText(row, 1, QStringLiteral("CS#%1").arg(row < 3 ? 0 : 2));
        cells->SetCellCheck(row, 1, row != 2 ? 1 : 0);
        cells->SetCellProgress(row, 2);
        cells->SetCellProgressPos(row, 2, percents[row]);
        cells->SetCellCheck(row, 4, row % 2);
    }
    cells->SetHeaderCheck(4, 1);
    cells->SetHeaderCheck(1, 1);
    cells->SetCellCheck(2, 1, 0);
    cells->SetCellColors(0, 3, QStringLiteral("done"), QColor(0x16, 0x8F, 0x5A), QColor(0xE7, 0xF6, 0xEE));
    cells->SetCellColors(1, 3, QStringLiteral("erasing"), QColor(0x1F, 0x5B, 0xD1), QColor(0xE8, 0xF0, 0xFD));
    cells->SetCellColors(2, 3, QStringLiteral("disabled row"), QColor(), QColor());
    cells->SetCellColors(3, 3, QStringLiteral("failed"), QColor(0xB4, 0x23, 0x18), QColor(0xFD, 0xEC, 0xEA));
    cells->SetCellBold(3, 3, true);
    cells->SetRowEnabled(2, false);
    cells->setFixedSize(680, 130);
    grid->addWidget(cells, 3, 0, 1, 2);
    return window;
}

std::unique_ptr<QWidget> ProgressPage() {
    auto window = Window(QStringLiteral("CCaptionProgressCtrl"));
    auto* grid = new QGridLayout(window.get());
    auto add = [&](int row, const QString& what, CCaptionProgressCtrl* bar) {
        grid->addWidget(new QLabel(what), row, 0);
        bar->setFixedSize(320, 22);
        grid->addWidget(bar, row, 1);
    };
    auto* empty = new CCaptionProgressCtrl;
    add(0, QStringLiteral("0 of 0..100"), empty);
    auto* third = new CCaptionProgressCtrl;
    third->SetRange(0, 200);
    third->SetPos(33);
    add(1, QStringLiteral("33 of 0..200"), third);
    auto* half = new CCaptionProgressCtrl;
    half->SetPos(50);
    add(2, QStringLiteral("50 of 0..100"), half);
    auto* full = new CCaptionProgressCtrl;
    full->SetPos(100);
    add(3, QStringLiteral("100 of 0..100"), full);
    auto* caption = new CCaptionProgressCtrl;
    caption->SetRange32(0, 1000);
    caption->SetPos(420);
    caption->SetWindowText(QStringLiteral("Saving target flash memory to BIN file.. 42%"));
    add(4, QStringLiteral("caption"), caption);
    auto* erase = new CCaptionProgressCtrl;
    erase->SetPos(64);
    erase->SetWindowText(QStringLiteral("Erasing ostra main code area in CS#0 flash memory.."));
    add(5, QStringLiteral("caption"), erase);
    auto* colours = new CCaptionProgressCtrl;
    colours->SetPos(70);
    colours->SetBarColor(QColor(0x16, 0x8F, 0x5A));
    colours->SetBkColor(QColor(0xF1, 0xF5, 0xF9));
    add(6, QStringLiteral("own colours"), colours);
    auto* textColour = new CCaptionProgressCtrl;
    textColour->SetPos(35);
    textColour->SetTextColor(QColor(0xB4, 0x23, 0x18));
    add(7, QStringLiteral("text colour"), textColour);
    auto* noText = new CCaptionProgressCtrl;
    noText->SetPos(55);
    noText->ShowText(false);
    add(8, QStringLiteral("text off"), noText);
    auto* vertical = new QHBoxLayout;
    for (int pos : {0, 30, 75, 100}) {
        auto* bar = new CCaptionProgressCtrl;
        bar->SetVertical(true);
        bar->SetPos(pos);
        bar->setFixedSize(22, 110);
        vertical->addWidget(bar);
    }
    vertical->addStretch();
    grid->addWidget(new QLabel(QStringLiteral("vertical, no text")), 9, 0, Qt::AlignTop);
    grid->addLayout(vertical, 9, 1);
    return window;
}

std::unique_ptr<QWidget> FileEditPage(const QString& samples) {
    auto window = Window(QStringLiteral("CFileEditCtrl"));
    auto* grid = new QGridLayout(window.get());
    grid->setColumnMinimumWidth(1, 360);
    const QString writer = MakeSample(samples, QStringLiteral("writer/uart_flashwriter.m0"), 41250);
    int row = 0;
    auto add = [&](const QString& what, CFileEditCtrl* edit) {
        grid->addWidget(new QLabel(what), row, 0);
        edit->setFixedWidth(360);
        grid->addWidget(edit, row++, 1);
        return edit;
    };
    auto* globalSettings = add(QStringLiteral("RS232 :"), new CFileEditCtrl(nullptr, FILEEDIT_FILE));
    SetControlId(globalSettings, IDC_UART_WRITER_PATH);
    globalSettings->SetButtonWidth(20);
    globalSettings->setText(writer);
    auto* empty = add(QStringLiteral("USB    :"), new CFileEditCtrl(nullptr, FILEEDIT_FILE));
    empty->SetButtonWidth(20);
    auto* pressed = add(QStringLiteral("button pressed"), new CFileEditCtrl(nullptr, FILEEDIT_FILE));
    pressed->SetButtonWidth(20);
    pressed->setText(writer);
    pressed->setProperty("galleryPress", true);
    auto* wide =
        add(QStringLiteral("default width"), new CFileEditCtrl(nullptr, FILEEDIT_FILE | FILEEDIT_MULTIPLE));
    wide->setText(writer + QStringLiteral("; r3700_main_v30.m0"));
    auto* flat =
        add(QStringLiteral("flat, at rest"), new CFileEditCtrl(nullptr, FILEEDIT_FILE | FILEEDIT_FLAT));
    flat->SetButtonWidth(20);
    flat->setText(writer);
    auto* grey = add(QStringLiteral("flat, grey dots"),
                     new CFileEditCtrl(nullptr, FILEEDIT_FILE | FILEEDIT_FLAT | FILEEDIT_GREY_DOTS));
    grey->SetButtonWidth(20);
    grey->setText(writer);
    auto* left = add(QStringLiteral("button at the left"),
                     new CFileEditCtrl(nullptr, FILEEDIT_FOLDER | FILEEDIT_LEFT_BUTTON | FILEEDIT_SLASH));
    left->SetButtonWidth(20);
    left->setText(samples + QLatin1Char('/'));
    auto* disabled = add(QStringLiteral("disabled"), new CFileEditCtrl(nullptr, FILEEDIT_FILE));
    disabled->SetButtonWidth(20);
    disabled->setText(writer);
    disabled->setEnabled(false);
    return window;
}

std::unique_ptr<QWidget> FaceButtonPage() {
    auto window = Window(QStringLiteral("CFaceButton"));
    auto* grid = new QGridLayout(window.get());
    int column = 0;
    auto add = [&](const QString& what, QWidget* button, int row) {
        grid->addWidget(new QLabel(what), row, column, Qt::AlignHCenter);
        grid->addWidget(button, row + 1, column, Qt::AlignHCenter);
    };
    auto toggle = [](bool checked) {
        auto* b = new CFaceButton;
        b->setCheckable(true);
        b->SetIcons(IDI_CONNECT_IN, IDI_CONNECT_OUT);
        b->SetColor(CFaceButton::COLOR_BK_IN, b->palette().color(QPalette::Button));
        b->SetCheck(checked);
        b->setFixedSize(44, 44);
        return b;
    };
    add(QStringLiteral("connect: off"), toggle(false), 0);
    ++column;
    auto* hovered = toggle(false);
    hovered->SetAlwaysTrack(true);
    hovered->setProperty("galleryHover", true);
    add(QStringLiteral("off, hovered"), hovered, 0);
    ++column;
    add(QStringLiteral("connect: on"), toggle(true), 0);
    ++column;
    auto mode = [](bool checked) {
        auto* b = new CFaceButton;
        b->setCheckable(true);
        b->SetIcons(IDI_DUMP_TO_FILE, IDI_DUMP_TO_SCREEN);
        b->SetCheck(checked);
        b->setFixedSize(44, 44);
        return b;
    };
    add(QStringLiteral("to screen"), mode(false), 0);
    ++column;
    add(QStringLiteral("to file"), mode(true), 0);

    column = 0;
    auto text = [](const QString& label) {
        auto* b = new CFaceButton(label);
        b->setFixedSize(96, 30);
        return b;
    };
    add(QStringLiteral("normal"), text(QStringLiteral("&DUMP")), 2);
    ++column;
    auto* def = text(QStringLiteral("&Start"));
    def->setDefault(true);
    add(QStringLiteral("default"), def, 2);
    ++column;
    auto* down = text(QStringLiteral("&Dump"));
    down->setDown(true);
    add(QStringLiteral("pressed"), down, 2);
    ++column;
    auto* off = text(QStringLiteral("&Dump"));
    off->setEnabled(false);
    add(QStringLiteral("disabled"), off, 2);
    ++column;
    auto* flat = text(QStringLiteral("Flat"));
    flat->SetFlat(true);
    add(QStringLiteral("flat"), flat, 2);

    column = 0;
    auto* flatHover = text(QStringLiteral("Flat"));
    flatHover->SetFlat(true);
    flatHover->SetAlwaysTrack(true);
    flatHover->setProperty("galleryHover", true);
    add(QStringLiteral("flat, hovered"), flatHover, 4);
    ++column;
    auto* coloured = text(QStringLiteral("Colours"));
    coloured->SetColor(CFaceButton::COLOR_BK_OUT, QColor(0x1F, 0x5B, 0xD1));
    coloured->SetColor(CFaceButton::COLOR_FG_OUT, Qt::white);
    add(QStringLiteral("own colours"), coloured, 4);
    ++column;
    auto round = [](bool rounded, bool hover) {
        auto* b = new CRoundFaceButton(QStringLiteral("BIN file :"));
        b->SetRounded(rounded);
        b->SetColor(CFaceButton::COLOR_BK_IN, QColor(0xDC, 0xE8, 0xFB));
        b->setFixedSize(96, 30);
        if (hover) {
            b->SetAlwaysTrack(true);
            b->setProperty("galleryHover", true);
        }
        return b;
    };
    add(QStringLiteral("round: at rest"), round(true, false), 4);
    ++column;
    add(QStringLiteral("round: hovered"), round(true, true), 4);
    ++column;
    add(QStringLiteral("square: hovered"), round(false, true), 4);
    return window;
}

std::unique_ptr<QWidget> PageTabPage() {
    auto window = Window(QStringLiteral("CPageTabCtrl"));
    auto* layout = new QHBoxLayout(window.get());
    for (int shown : {0, 1}) {
        auto* tabs = new CPageTabCtrl;
        SetControlId(tabs, IDC_PAGE_TAB);
        tabs->InsertItem(0, QStringLiteral("Log Messages"));
        tabs->InsertItem(1, QStringLiteral("Memory Dump"));
        auto* log = new QPlainTextEdit;
        log->setPlainText(QStringLiteral("\u25C8 Target is connected.\n - Port : COM1, 115200 bps\n"
                                         " - Target status : Flash writer on UART\n"));
        auto* dump = new QWidget;
        auto* form = new QGridLayout(dump);
        form->addWidget(new QLabel(QStringLiteral("Start Addr : 0x")), 0, 0);
        form->addWidget(new QLineEdit(QStringLiteral("00000000")), 0, 1);
        form->addWidget(new QLabel(QStringLiteral("Size :")), 0, 2);
        form->addWidget(new QLineEdit(QStringLiteral("256")), 0, 3);
        auto* unit = new QComboBox;
        unit->addItems(
            {QStringLiteral("BYTE(8bit)"), QStringLiteral("WORD(16bit)"), QStringLiteral("DWORD(32bit)")});
        form->addWidget(unit, 0, 4);
        form->addWidget(new QCheckBox(QStringLiteral("ASCII view")), 1, 0, 1, 2);
        form->setRowStretch(2, 1);
        tabs->CreatePages({log, dump});
        tabs->SetCurSel(shown);
        tabs->setFixedSize(400, 170);
        layout->addWidget(tabs);
    }
    return window;
}

std::unique_ptr<QWidget> BevelLinePage() {
    auto window = Window(QStringLiteral("cdxCRotBevelLine"));
    auto* grid = new QGridLayout(window.get());
    auto line = [](const QString& text, Qt::Alignment align, bool sunken = false) {
        auto* l = new cdxCRotBevelLine(text);
        l->SetAlignment(align);
        l->SetSunken(sunken);
        l->setFixedSize(300, 18);
        return l;
    };
    auto* writer = line(QStringLiteral("Flash Writer File"), Qt::AlignLeft);
    SetControlId(writer, IDC_FLASH_WRITER_HEADING);
    grid->addWidget(writer, 0, 0);
    auto* rs232 = line(QStringLiteral("RS232 Configuration "), Qt::AlignLeft);
    SetControlId(rs232, IDC_RS232_HEADING);
    grid->addWidget(rs232, 1, 0);
    grid->addWidget(line(QStringLiteral("Centred"), Qt::AlignHCenter), 2, 0);
    grid->addWidget(line(QStringLiteral("Right, sunken"), Qt::AlignRight, true), 3, 0);
    auto* disabled = line(QStringLiteral("RS232 Configuration "), Qt::AlignLeft);
    disabled->setEnabled(false);
    grid->addWidget(disabled, 4, 0);
    grid->addWidget(line(QString(), Qt::AlignLeft), 5, 0);
    auto* verticals = new QHBoxLayout;
    for (const QString& text : {QStringLiteral("Turned 90"), QStringLiteral("~Turned 270"), QString()}) {
        auto* v = new cdxCRotBevelLine(text);
        v->SetAlignment(Qt::AlignHCenter);
        v->setFixedSize(20, 150);
        verticals->addWidget(v);
    }
    grid->addLayout(verticals, 0, 1, 6, 1);
    return window;
}

std::unique_ptr<QWidget> LinkLabelPage() {
    auto window = Window(QStringLiteral("CLinkLabel"));
    window->setFixedSize(360, 150);
    auto place = [&](const QString& what, int y, CLinkLabel* link) {
        auto* label = new QLabel(what, window.get());
        label->move(12, y);
        link->setParent(window.get());
        link->move(150, y);
    };
    auto* normal = new CLinkLabel(QStringLiteral("Bug report"));
    normal->SetURL(QStringLiteral("mailto:vandrel-support@example.org"));
    place(QStringLiteral("link"), 14, normal);
    auto* hovered = new CLinkLabel(QStringLiteral("Bug report"));
    hovered->setProperty("galleryHover", true);
    place(QStringLiteral("hovered"), 44, hovered);
    auto* visited = new CLinkLabel(QStringLiteral("Bug report"));
    visited->SetVisited(true);
    place(QStringLiteral("visited"), 74, visited);
    auto* always = new CLinkLabel(QStringLiteral("Bug report"));
    SetControlId(always, IDC_BUG_REPORT);
    always->SetUnderline(CLinkLabel::UNDERLINE_ALWAYS);
    place(QStringLiteral("always underlined"), 104, always);
    return window;
}

// The artwork at the sizes the program shows it, and four times as large.
class ArtworkSheet : public QWidget {
public:
    ArtworkSheet() { setFixedSize(620, 400); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Window));
        struct Row {
            int id;
            const char* name;
        } rows[] = {{IDI_PROGRAM, "128 program"},          {IDI_CONNECT_IN, "151 connect in"},
                    {IDI_CONNECT_OUT, "152 connect out"},  {IDI_INFORMATION, "162 information"},
                    {IDI_DUMP_TO_SCREEN, "163 to screen"}, {IDI_DUMP_TO_FILE, "164 to file"}};
        int y = 8;
        for (const Row& row : rows) {
            p.setPen(palette().color(QPalette::WindowText));
            p.drawText(QRect(8, y, 120, 48), Qt::AlignVCenter, QString::fromLatin1(row.name));
            const QIcon icon = LoadResIcon(row.id);
            int x = 130;
            for (int size : {16, 24, 32, 48}) {
                p.drawPixmap(x, y + (48 - size) / 2, icon.pixmap(size, size));
                x += size + 12;
            }
            const QPixmap small = icon.pixmap(16, 16);
            p.drawPixmap(QRect(x + 10, y - 8, 64, 64), small);
            p.drawPixmap(QRect(x + 90, y - 8, 64, 64), icon.pixmap(32, 32));
            y += 52;
        }
        p.drawText(QRect(8, y, 120, 20), Qt::AlignVCenter, QStringLiteral("154 file image"));
        const QPixmap file = LoadResBitmap(IDB_FILE_LIST);
        p.drawPixmap(130, y + 2, file);
        p.drawPixmap(QRect(160, y - 6, 32, 32), file);
        p.drawPixmap(QRect(200, y - 6, 64, 64).adjusted(0, 0, 0, 0), file);
    }
};

std::unique_ptr<QWidget> ArtworkPage() {
    auto window = Window(QStringLiteral("Artwork"));
    auto* layout = new QVBoxLayout(window.get());
    layout->addWidget(new ArtworkSheet);
    return window;
}

} // namespace

std::vector<GalleryPage> BuildGalleryPages(const QString& sampleFolder) {
    std::vector<GalleryPage> pages;
    pages.push_back({QStringLiteral("widget-XListCtrl"), FileListPage(sampleFolder)});
    pages.push_back({QStringLiteral("widget-CaptionProgressCtrl"), ProgressPage()});
    pages.push_back({QStringLiteral("widget-FileEditCtrl"), FileEditPage(sampleFolder)});
    pages.push_back({QStringLiteral("widget-FaceButton"), FaceButtonPage()});
    pages.push_back({QStringLiteral("widget-PageTabCtrl"), PageTabPage()});
    pages.push_back({QStringLiteral("widget-cdxCRotBevelLine"), BevelLinePage()});
    pages.push_back({QStringLiteral("widget-LinkLabel"), LinkLabelPage()});
    pages.push_back({QStringLiteral("widget-artwork"), ArtworkPage()});
    for (GalleryPage& page : pages) {
        page.window->show();
        page.window->adjustSize();
        QApplication::processEvents();
        for (QWidget* w : page.window->findChildren<QWidget*>()) {
            if (w->property("galleryHover").toBool())
                Hover(w);
            if (w->property("galleryPress").toBool()) {
                auto* edit = static_cast<CFileEditCtrl*>(w);
                const QPointF at = QRectF(edit->ButtonRect()).center();
                QMouseEvent press(QEvent::MouseButtonPress, at, edit->mapToGlobal(at), Qt::LeftButton,
                                  Qt::LeftButton, Qt::NoModifier);
                QApplication::sendEvent(edit, &press);
            }
        }
    }
    return pages;
}
