#include "TForm1.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "BarChart.h"
#include "Controls.h"
#include "ErrorDisplay.h"
#include "ExportGridsToExcel.h"
#include "HistoryGridModel.h"
#include "HistoryTables.h"
#include "JpegImage.h"
#include "LiveReading.h"
#include "MessageBox.h"
#include "ModbusCrc.h"
#include "SerialComm.h"
#include "SetupCommands.h"
#include "StringGrid.h"
#include "TTimer.h"
#include "TextFormats.h"

namespace {

constexpr int kClientWidth = 1157;
constexpr int kClientHeight = 691;
constexpr int kHeaderHeight = 57;
constexpr int kNavWidth = 105;
constexpr int kStatusHeight = 21;

const QColor kBlue(0x00, 0x00, 0xFF);
const QColor kPurple(0x80, 0x00, 0x80);
const QColor kDarkBlue(0x00, 0x33, 0x66);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kFuchsia(0xFF, 0x00, 0xFF);
const QColor kLampGreen(0, 128, 0);
const QColor kLampSilver(192, 192, 192);

const QString kOpenCaption = QStringLiteral("打开串口");
const QString kCloseCaption = QStringLiteral("关闭串口");

QFont MakeFont(int pixelSize, bool bold = false, const QString& family = "MS Sans Serif") {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    pal.setColor(QPalette::Text, colour);
    pal.setColor(QPalette::ButtonText, colour);
    widget->setPalette(pal);
}

void SetBackground(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, colour);
    pal.setColor(QPalette::Base, colour);
    widget->setPalette(pal);
}

template <typename W>
W* Named(W* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    auto* label = Named(new QLabel(text, parent), name, geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text,
                  const QColor& colour, int pixelSize, bool bold = false) {
    QLabel* label = MakeLabel(parent, name, geometry, text);
    label->setFont(MakeFont(pixelSize, bold));
    SetTextColour(label, colour);
    return label;
}

// Purple 11 px labels above the edits of the settings page.
QLabel* MakeHint(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    return MakeLabel(parent, name, geometry, text, kPurple, 11);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const QString& caption, const QString& icon = {}) {
    auto* button = Named(new QPushButton(caption, parent), name, geometry);
    if (!icon.isEmpty()) {
        QIcon pictures(QStringLiteral(":/icons/%1.png").arg(icon));
        pictures.addFile(QStringLiteral(":/icons/%1-disabled.png").arg(icon), QSize(16, 16),
                         QIcon::Disabled);
        button->setIcon(pictures);
        button->setIconSize(QSize(16, 16));
    }
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    auto* edit = Named(new QLineEdit(text, parent), name, geometry);
    SetTextColour(edit, Qt::black);
    return edit;
}

::StringGrid* MakeGrid(QWidget* parent, ::StringGrid* grid, const char* name, const QRect& geometry,
                       const QList<int>& widths) {
    grid->setParent(parent);
    Named(grid, name, geometry);
    grid->SetColWidths(widths);
    return grid;
}

::StringGrid* MakeHistoryGrid(QWidget* parent, const char* name, const QRect& geometry,
                              int lastColumnWidth) {
    auto* grid = new ::StringGrid(new HistoryGridModel(15), parent);
    MakeGrid(parent, grid, name, geometry, {120, 37, 36, lastColumnWidth});
    grid->SetScrollBars(true, true);
    return grid;
}

// Buttons share one look: a dark blue frame, a light face, highlighted under the pointer.
const char* kButtonStyle =
    "QPushButton { border: 1px solid #003C74; border-radius: 3px; background: #F4F4F0;"
    " padding: 0 4px; }"
    "QPushButton:hover { background: #FFF2C8; border-color: #E5A000; }"
    "QPushButton:pressed { background: #E2E2DA; }"
    "QPushButton:disabled { color: #A0A0A0; }";

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("无线蓄电池监控软件 Demo1  Quorvane"));
    setFont(MakeFont(11));
    setFixedSize(kClientWidth, kClientHeight);
    setStyleSheet(QString::fromLatin1(kButtonStyle));

    BuildHeaderAndFrame();
    BuildRealTimePage();
    BuildHistoryPage();
    BuildSettingsPage();
    BuildSpareTablesPage();
    CreateComponents();
    WireEvents();
    RzPageControl1->setCurrentIndex(0);
    FormCreate();
}

TForm1::~TForm1() {
    // The port threads post into this window's component: stop them before anything goes.
    Comm1->CloseComm();
}

void TForm1::BuildHeaderAndFrame() {
    RzPanel1 = Named(new QFrame(this), "RzPanel1", {0, 0, kClientWidth, kHeaderHeight});
    RzPanel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Image1 = Named(new JpegImage(RzPanel1), "Image1", {0, 0, 385, 57});
    QFile logo(QStringLiteral(":/images/logo.jpg"));
    if (logo.open(QIODevice::ReadOnly)) Image1->LoadJpeg(logo.readAll());
    RzLabel1 = MakeLabel(RzPanel1, "RzLabel1", {496, 16, 361, 29},
                         QStringLiteral("无线蓄电池监控演示软件"), kRed, 27, true);
    RzLabel1->setFont(MakeFont(27, true, QStringLiteral("楷体")));

    RzPanel2 = Named(new QFrame(this), "RzPanel2", {0, kHeaderHeight, kNavWidth, 613});
    RzPanel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    // The navigation column takes the desktop's highlight colour, framed in light cyan.
    RzPanel2->setStyleSheet(
        QStringLiteral("QFrame#RzPanel2 { background: %1; border: 1px solid #CCFFFF; }")
            .arg(palette().color(QPalette::Highlight).name()));
    RzLabel2 = MakeLabel(RzPanel2, "RzLabel2", {8, 8, 73, 25}, QStringLiteral("功能索引"), kBlue,
                         13, true);
    RzBitBtn4 = MakeButton(RzPanel2, "RzBitBtn4", {0, 40, 97, 25}, QStringLiteral("实时数据"),
                           "nav-realtime");
    RzBitBtn12 = MakeButton(RzPanel2, "RzBitBtn12", {0, 88, 97, 25}, QStringLiteral("历史数据"),
                            "nav-history");
    RzBitBtn13 = MakeButton(RzPanel2, "RzBitBtn13", {0, 136, 97, 25}, QStringLiteral("系统设置"),
                            "nav-settings");

    RzPanel3 = Named(new QFrame(this), "RzPanel3", {kNavWidth, kHeaderHeight, 1052, 613});
    RzPanel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    RzPanel3->setLineWidth(2);
    RzPageControl1 = Named(new PageControl(RzPanel3), "RzPageControl1", {2, 2, 1048, 609});
    RzPageControl1->setFont(MakeFont(13));
    SetTextColour(RzPageControl1, kPurple);
    RzPageControl1->setStyleSheet(QStringLiteral("QTabBar::tab { height: 22px; }"));

    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    TabSheet11 = new QWidget;
    TabSheet11->setObjectName(QStringLiteral("TabSheet11"));
    TabSheet4 = new QWidget;
    TabSheet4->setObjectName(QStringLiteral("TabSheet4"));
    RzPageControl1->AddPage(TabSheet1, QStringLiteral("实时数据"), QColor(0xC0, 0xDC, 0xC0));
    RzPageControl1->AddPage(TabSheet2, QStringLiteral("历史数据"), QColor(0xA6, 0xCA, 0xF0));
    RzPageControl1->AddPage(TabSheet11, QStringLiteral("系统设置"), QColor(0xA6, 0xCA, 0xF0));
    RzPageControl1->AddPage(TabSheet4, QStringLiteral("页面2"), QColor(0x00, 0x80, 0x80));
    for (int i = 0; i < RzPageControl1->count(); ++i)
        RzPageControl1->tabBar()->setTabTextColor(i, kPurple);

    // Page 0 has a font of its own: black, 11 px.
    TabSheet1->setFont(MakeFont(11));
    SetTextColour(TabSheet1, Qt::black);

    StatusBar1 = new StatusBar(530, this);
    Named(StatusBar1, "StatusBar1",
          {0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight});
}

void TForm1::BuildRealTimePage() {
    QWidget* page = TabSheet1;
    RzLabel14 = MakeLabel(page, "RzLabel14", {184, 8, 129, 16}, QStringLiteral("实时数据显示"),
                          kBlue, 15, true);
    RzBitBtn6 = MakeButton(page, "RzBitBtn6", {400, 8, 105, 25}, QStringLiteral("保存到Excel"),
                           "export-excel");
    StringGrid = MakeGrid(page, new ::StringGrid(5, 1024), "StringGrid", {0, 32, 497, 553},
                          {67, 123, 80, 88, 90});
    StringGrid->SetScrollBars(false, true);

    Chart1 = Named(new BarChart(page), "Chart1", {520, 32, 521, 241});
    Chart1->SetTitle(QStringLiteral("电压趋势图"));
    Chart1->SetLeftAxisTitle(QStringLiteral("电压值V"));
    Series1 = new BarSeries(this);
    Series1->setObjectName(QStringLiteral("Series1"));
    Series1->SetBarWidthPercent(80);
    Series1->SetSeriesColor(QColor(0x00, 0x80, 0x00));
    Chart1->AddSeries(Series1);

    Chart2 = Named(new BarChart(page), "Chart2", {523, 304, 438, 241});
    Chart2->SetTitle(QStringLiteral("温度趋势图"));
    Chart2->SetLeftAxisTitle(QStringLiteral("温度值℃"));
    BarSeries1 = new BarSeries(this);
    BarSeries1->setObjectName(QStringLiteral("BarSeries1"));
    BarSeries1->SetBarWidthPercent(40);
    BarSeries1->SetSeriesColor(QColor(0x00, 0x80, 0x00));
    Chart2->AddSeries(BarSeries1);

    // The bar labels "1#".."6#" are label controls inside each chart; the chart places bar k
    // under label k.
    const std::array<int, 6> chart1X{72, 128, 184, 240, 304, 360};
    const std::array<int, 6> chart2X{64, 128, 192, 256, 328, 392};
    QList<double> centres1, centres2;
    for (int i = 0; i < 6; ++i) {
        const QString text = BatteryLabel(i + 1);
        const QByteArray name1 = "RzLabel" + QByteArray::number(16 + i);
        const QByteArray name2 = "RzLabel" + QByteArray::number(22 + i);
        Chart1Labels[i] =
            MakeLabel(Chart1, name1.constData(), {chart1X[i], 224, 13, 13}, text, kBlue, 11);
        Chart2Labels[i] =
            MakeLabel(Chart2, name2.constData(), {chart2X[i], 224, 13, 13}, text, kBlue, 11);
        centres1.append(chart1X[i] + 6.5);
        centres2.append(chart2X[i] + 6.5);
    }
    Chart1->SetCategoryLabelCentres(centres1);
    Chart2->SetCategoryLabelCentres(centres2);
}

void TForm1::BuildHistoryPage() {
    QWidget* page = TabSheet2;
    RzLabel15 = MakeLabel(page, "RzLabel15", {344, 0, 129, 16}, QStringLiteral("历史记录显示"),
                          kBlue, 15, true);
    RzBitBtn5 = MakeButton(page, "RzBitBtn5", {904, 0, 105, 25}, QStringLiteral("保存到Excel"),
                           "export-excel");
    StringGrid9 = MakeHistoryGrid(page, "StringGrid9", {16, 24, 297, 257}, 56);
    StringGrid10 = MakeHistoryGrid(page, "StringGrid10", {344, 24, 305, 257}, 58);
    StringGrid11 = MakeHistoryGrid(page, "StringGrid11", {688, 24, 297, 249}, 62);
    StringGrid12 = MakeHistoryGrid(page, "StringGrid12", {16, 320, 297, 249}, 59);
    StringGrid13 = MakeHistoryGrid(page, "StringGrid13", {344, 320, 305, 249}, 59);
    StringGrid14 = MakeHistoryGrid(page, "StringGrid14", {688, 320, 297, 249}, 60);
}

void TForm1::BuildSpareTablesPage() {
    QWidget* page = TabSheet4;
    StringGrid1 = MakeHistoryGrid(page, "StringGrid1", {0, 24, 281, 177}, 34);
    StringGrid2 = MakeHistoryGrid(page, "StringGrid2", {312, 0, 289, 201}, 34);
    StringGrid3 = MakeHistoryGrid(page, "StringGrid3", {664, 0, 297, 201}, 34);
    StringGrid4 = MakeHistoryGrid(page, "StringGrid4", {664, 208, 305, 185}, 34);
    StringGrid5 = MakeHistoryGrid(page, "StringGrid5", {0, 216, 281, 193}, 34);
    StringGrid6 = MakeHistoryGrid(page, "StringGrid6", {312, 208, 289, 193}, 34);
    StringGrid7 = MakeHistoryGrid(page, "StringGrid7", {0, 416, 289, 161}, 34);
    StringGrid8 = MakeHistoryGrid(page, "StringGrid8", {312, 408, 305, 185}, 34);
    StringGrid15 = MakeGrid(page, new ::StringGrid(4, 15), "StringGrid15", {664, 398, 305, 185},
                            {120, 37, 36, 34});
    StringGrid15->SetScrollBars(true, true);
}

void TForm1::BuildSettingsPage() {
    QWidget* page = TabSheet11;
    Shape1 = Named(new CircleShape(page), "Shape1", {16, 8, 25, 17});

    Com_combox = Named(new QComboBox(page), "Com_combox", {8, 24, 81, 28});
    Com_combox->setEditable(true);
    for (int i = 1; i <= 10; ++i) Com_combox->addItem(QStringLiteral("COM%1").arg(i));
    Com_combox->setCurrentIndex(0);
    Com_combox->setFont(MakeFont(16));
    SetTextColour(Com_combox, kFuchsia);
    Com_combox->setStyleSheet(
        QStringLiteral("QComboBox QAbstractItemView::item { height: 20px; }"));

    Button1 = MakeButton(page, "Button1", {96, 24, 113, 33}, kOpenCaption, "port-open");
    RzBitBtn3 = MakeButton(page, "RzBitBtn3", {228, 24, 93, 33}, QStringLiteral("退出"), "exit");
    for (QPushButton* b : {Button1, RzBitBtn3}) {
        b->setCursor(Qt::PointingHandCursor);
        b->setFont(MakeFont(16));
        SetTextColour(b, kBlue);
    }
    RzBitBtn7 =
        MakeButton(page, "RzBitBtn7", {16, 80, 97, 33}, QStringLiteral("启动监测"), "start");

    RzLabel3 = MakeLabel(page, "RzLabel3", {384, 48, 169, 20}, QStringLiteral("设置485设备信息："),
                         kDarkBlue, 16);
    RzLabel4 = MakeHint(page, "RzLabel4", {536, 24, 89, 16}, QStringLiteral("首地址（0-7）"));
    RzEdit1 = MakeEdit(page, "RzEdit1", {552, 48, 49, 24}, QStringLiteral("1"));
    RzLabel5 = MakeHint(page, "RzLabel5", {632, 24, 57, 16}, QStringLiteral("频点(1-4)"));
    RzEdit2 = MakeEdit(page, "RzEdit2", {640, 48, 41, 24}, QStringLiteral("1"));
    RzLabel6 = MakeHint(page, "RzLabel6", {712, 24, 105, 16}, QStringLiteral("数据地址(0-7)"));
    RzEdit3 = MakeEdit(page, "RzEdit3", {720, 48, 49, 24}, QStringLiteral("1"));
    RzBitBtn9 = MakeButton(page, "RzBitBtn9", {816, 48, 75, 25}, QStringLiteral("设置"));
    RzLabel7 =
        MakeHint(page, "RzLabel7", {800, 80, 161, 16}, QStringLiteral("响应，原包返回，则成功。"));

    RzLabel8 = MakeLabel(page, "RzLabel8", {384, 120, 169, 20}, QStringLiteral("查询485设备信息："),
                         kDarkBlue, 16);
    RzLabel9 = MakeHint(page, "RzLabel9", {544, 104, 89, 16}, QStringLiteral("首地址（0-7）"));
    RzEdit4 = MakeEdit(page, "RzEdit4", {560, 120, 49, 24}, QStringLiteral("1"));
    RzBitBtn10 = MakeButton(page, "RzBitBtn10", {640, 120, 75, 25}, QStringLiteral("查询"));

    RzLabel10 = MakeLabel(page, "RzLabel10", {392, 192, 169, 20}, QStringLiteral("授权模块："),
                          kDarkBlue, 16);
    RzLabel11 = MakeHint(page, "RzLabel11", {496, 168, 89, 16}, QStringLiteral("首地址（0-7）"));
    RzEdit5 = MakeEdit(page, "RzEdit5", {512, 192, 49, 24}, QStringLiteral("1"));
    RzLabel12 =
        MakeHint(page, "RzLabel12", {600, 168, 121, 16}, QStringLiteral("模块地址（0-127）"));
    RzEdit6 = MakeEdit(page, "RzEdit6", {632, 192, 49, 24}, QStringLiteral("1"));
    RzBitBtn11 = MakeButton(page, "RzBitBtn11", {736, 192, 75, 25}, QStringLiteral("设置"));
    RzLabel13 = MakeHint(page, "RzLabel13", {704, 224, 161, 16},
                         QStringLiteral("响应，原包返回，则成功。"));

    RzLabel28 = MakeLabel(page, "RzLabel28", {8, 384, 121, 16}, QStringLiteral("采样频率（秒）："));
    sample_time = MakeEdit(page, "sample_time", {136, 376, 57, 24}, QStringLiteral("10"));
    RzBitBtn14 =
        MakeButton(page, "RzBitBtn14", {208, 376, 75, 25}, QStringLiteral("设置"), "apply");

    RzPageControl3 = Named(new PageControl(page), "RzPageControl3", {396, 272, 637, 313});
    RzPageControl3->setStyleSheet(QStringLiteral("QTabBar::tab { height: 22px; }"));
    TabSheet3 = new QWidget;
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    RzPageControl3->AddPage(TabSheet3, QStringLiteral("状态栏"), QColor(0xA6, 0xCA, 0xF0));
    RzPageControl3->tabBar()->setTabTextColor(0, kPurple);
    Memo1 = Named(new QPlainTextEdit(TabSheet3), "Memo1", {0, 0, 633, 287});
    Memo1->setFont(MakeFont(16, true));
    SetTextColour(Memo1, kBlue);
    SetBackground(Memo1, Qt::white);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
}

void TForm1::CreateComponents() {
    Comm1 = new TComm(this);
    Comm1->setObjectName(QStringLiteral("Comm1"));
    // The window's stored settings: 9600 8N1, DTR and RTS on, no flow control.
    Comm1->SetCommName(QStringLiteral("COM1"));
    Comm1->SetBaudRate(9600);
    Comm1->SetParityCheck(false);
    Comm1->SetOutx_CtsFlow(false);
    Comm1->SetOutx_DsrFlow(false);
    Comm1->SetDtrControl(TDtrControl::DtrEnable);
    Comm1->SetDsrSensitivity(false);
    Comm1->SetTxContinueOnXoff(false);
    Comm1->SetOutx_XonXoffFlow(false);
    Comm1->SetInx_XonXoffFlow(false);
    Comm1->SetRtsControl(TRtsControl::RtsEnable);
    Comm1->SetByteSize(TByteSize::_8);
    Comm1->SetParity(TParity::None);
    Comm1->SetStopBits(TStopBits::_1);
    Comm1->SetReadIntervalTimeout(10);

    Timer1 = new TTimer(10000, Qt::PreciseTimer, this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer3 = new TTimer(150, Qt::PreciseTimer, this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
}

// Every handler runs under the default error display: an exception that leaves it is shown in
// a message box and the program runs on, since exceptions must never cross Qt's event loop.
void TForm1::WireEvents() {
    const auto guarded = [this](void (TForm1::*handler)()) {
        return [this, handler] {
            DeliverShowingErrors([this, handler] {
                (this->*handler)();
                return true;
            });
        };
    };
    const auto wire = [this, guarded](QPushButton* button, void (TForm1::*handler)()) {
        connect(button, &QPushButton::clicked, this, guarded(handler));
    };
    wire(RzBitBtn4, &TForm1::RzBitBtn4Click);
    wire(RzBitBtn12, &TForm1::RzBitBtn12Click);
    wire(RzBitBtn13, &TForm1::RzBitBtn13Click);
    wire(RzBitBtn3, &TForm1::RzBitBtn3Click);
    wire(Button1, &TForm1::Button1Click);
    wire(RzBitBtn7, &TForm1::RzBitBtn7Click);
    wire(RzBitBtn9, &TForm1::RzBitBtn9Click);
    wire(RzBitBtn10, &TForm1::RzBitBtn10Click);
    wire(RzBitBtn11, &TForm1::RzBitBtn11Click);
    wire(RzBitBtn14, &TForm1::RzBitBtn14Click);
    wire(RzBitBtn6, &TForm1::RzBitBtn6Click);
    wire(RzBitBtn5, &TForm1::RzBitBtn5Click);

    Timer1->OnTimer = guarded(&TForm1::Timer1Timer);
    Timer3->OnTimer = guarded(&TForm1::Timer3Timer);
    Comm1->OnReceiveData = [this](TComm* sender, const std::uint8_t* buffer, std::uint16_t length) {
        Comm1ReceiveData(sender, buffer, length);
    };
    Comm1->OnRequestHangup = [this](TComm*) { OnPortHangup(); };
}

// ---------------------------------------------------------------------------------------------
// Start-up, shutdown, navigation

void TForm1::FormCreate() {
    auto* spare = new BarSeries(this);
    Chart1->AddSeries(spare);

    Timer1->SetEnabled(false);
    Poll.PollCycleActive = false;

    const QStringList realTimeHeader{QStringLiteral("模块地址"), QStringLiteral("采样时间"),
                                     QStringLiteral("电压V"), QStringLiteral("温度℃"),
                                     QStringLiteral("鼓包")};
    for (int c = 0; c < realTimeHeader.size(); ++c) StringGrid->SetCells(c, 0, realTimeHeader[c]);
    for (int step = 1; step <= 14; ++step) {
        ::StringGrid* grid = HistoryGrid(step);
        grid->SetCells(0, 0, QStringLiteral("%1#采样时间").arg(step));
        grid->SetCells(1, 0, QStringLiteral("电压"));
        grid->SetCells(2, 0, QStringLiteral("温度"));
        grid->SetCells(3, 0, QStringLiteral("鼓包"));
    }
}

void TForm1::FormClose() {
    Comm1->CloseComm();
    emit Closing();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Header, navigation column, page area and status bar follow the window through their
    // alignment; the controls inside the pages keep their places.
    if (!RzPanel1) return;
    const int w = width();
    const int h = height();
    const int middle = h - kHeaderHeight - kStatusHeight;
    RzPanel1->setGeometry(0, 0, w, kHeaderHeight);
    RzPanel2->setGeometry(0, kHeaderHeight, kNavWidth, middle);
    RzPanel3->setGeometry(kNavWidth, kHeaderHeight, w - kNavWidth, middle);
    RzPageControl1->setGeometry(2, 2, w - kNavWidth - 4, middle - 4);
    StatusBar1->setGeometry(0, h - kStatusHeight, w, kStatusHeight);
}

void TForm1::RzBitBtn4Click() { RzPageControl1->setCurrentIndex(0); }
void TForm1::RzBitBtn12Click() { RzPageControl1->setCurrentIndex(1); }
void TForm1::RzBitBtn13Click() { RzPageControl1->setCurrentIndex(2); }

void TForm1::RzBitBtn3Click() {
    Comm1->CloseComm();
    close();
}

::StringGrid* TForm1::HistoryGrid(int step) const {
    const std::array<::StringGrid*, 14> grids{
        StringGrid1,  StringGrid2,  StringGrid3,  StringGrid4, StringGrid5,
        StringGrid6,  StringGrid7,  StringGrid8,  StringGrid9, StringGrid10,
        StringGrid11, StringGrid12, StringGrid13, StringGrid14};
    return step >= 1 && step <= 14 ? grids[step - 1] : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Port control and the poll cycle

void TForm1::Button1Click() { TogglePort(); }

void TForm1::TogglePort() {
    if (Button1->text() == kOpenCaption) {
        try {
            Comm1->SetCommName(Com_combox->currentText());
            Comm1->SetBaudRate(9600);
            Comm1->SetReadIntervalTimeout(500);
            Comm1->OpenComm();
            Shape1->SetBrushColor(kLampGreen);
            Button1->setText(kCloseCaption);
            StatusBar1->SetPanelText(1, QStringLiteral("串口") + Com_combox->currentText() +
                                            QStringLiteral("已打开") +
                                            QStringLiteral(",Baud:9600"));
        } catch (...) {
            messagebox::Show(this, QStringLiteral("未发现可用串口或被占用"),
                             QStringLiteral("提示"));
        }
        return;
    }
    Comm1->CloseComm();
    Shape1->SetBrushColor(kLampSilver);
    Button1->setText(kOpenCaption);
    StatusBar1->SetPanelText(1, QStringLiteral("串口已关闭!"));
}

// The port threads ended on their own (adapter unplugged, device gone): show it the way a
// close by the operator does, so the port can be opened again.
void TForm1::OnPortHangup() {
    if (Button1->text() == kOpenCaption) return;
    TogglePort();
}

void TForm1::RzBitBtn7Click() {
    StartMonitoring(Poll);
    Timer1->SetEnabled(true);
    Timer3->SetEnabled(true);
}

void TForm1::Timer1Timer() {
    Timer3->SetEnabled(true);
    Memo1->appendPlainText(QStringLiteral("   time1:"));
}

void TForm1::Timer3Timer() {
    Comm1->SetReadIntervalTimeout(20);
    SendNextPollRequest();
}

void TForm1::SendNextPollRequest() {
    const PollTick tick = AdvancePoll(Poll);
    if (tick.clearLogFirst) Memo1->clear();
    if (tick.clearCharts) {
        Chart1->Series(0)->Clear();
        Chart2->Series(0)->Clear();
    }
    if (tick.stopPacing) Timer3->SetEnabled(false);
    SendFrame(tick.frame.data(), static_cast<std::uint16_t>(tick.frame.size()));
}

std::uint16_t TForm1::ModbusCrc16(const std::uint8_t* data, std::uint8_t length) const {
    return ::ModbusCrc16(data, length);
}

bool TForm1::SendFrame(const std::uint8_t* data, std::uint16_t length) {
    return Comm1->WriteCommBuffer(data, length);
}

// ---------------------------------------------------------------------------------------------
// Device set-up commands. Every edit is converted before anything changes, so a command with
// a bad number sends nothing and leaves the log and the pending flags as they were.

void TForm1::RzBitBtn9Click() {
    const std::int32_t e1 = StrToInt(RzEdit1->text());
    const std::int32_t e2 = StrToInt(RzEdit2->text());
    const std::int32_t e3 = StrToInt(RzEdit3->text());
    const Frame frame = SetDeviceInfoFrame(e1, e2, e3);
    Memo1->clear();
    Pending.SetDeviceInfoPending = true;
    SendFrame(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

void TForm1::RzBitBtn10Click() {
    const Frame frame = QueryDeviceInfoFrame(StrToInt(RzEdit4->text()));
    Memo1->clear();
    Pending.QueryDeviceInfoPending = true;
    SendFrame(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

void TForm1::RzBitBtn11Click() {
    const std::int32_t e5 = StrToInt(RzEdit5->text());
    const std::int32_t e6 = StrToInt(RzEdit6->text());
    const Frame frame = AuthorizeModuleFrame(e5, e6);
    Memo1->clear();
    Pending.AuthorizeModulePending = true;
    SendFrame(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

void TForm1::RzBitBtn14Click() {
    const std::optional<int> intervalMs = SamplingPeriodMs(StrToInt(sample_time->text()));
    if (!intervalMs) {
        messagebox::Show(this, SamplingPeriodRangeMessage(), QStringLiteral("提示"));
        return;
    }
    Timer1->SetInterval(*intervalMs);
}

// ---------------------------------------------------------------------------------------------
// Receiving and display

void TForm1::Comm1ReceiveData(TComm*, const std::uint8_t* Buffer, std::uint16_t BufferLength) {
    // The receive path reports nothing: a failure ends the handling of this buffer silently.
    try {
        const std::vector<std::uint8_t> S(Buffer, Buffer + BufferLength);
        for (int echoes = TakePendingEchoes(Pending); echoes > 0; --echoes) AppendHexEcho(S);
        const std::optional<PollAnswer> answer = AcceptPollAnswer(S, Poll);
        if (!answer) return;
        AppendHistoryRecord(answer->step, answer->reading);
        if (answer->step >= 9) ShowLiveReading(answer->step - 8, answer->reading);
    } catch (...) {
    }
}

void TForm1::AppendHistoryRecord(int step, const BatteryReading& reading) {
    auto* table = static_cast<HistoryGridModel*>(HistoryGrid(step)->Model());
    ::AppendHistoryRecord(*table, step, reading, QDateTime::currentSecsSinceEpoch());
}

void TForm1::ShowLiveReading(int battery, const BatteryReading& reading) {
    const QString voltage = NumberText(reading.Voltage);
    const QString temperature = NumberText(reading.Temperature);
    StringGrid->SetCells(0, battery, BatteryLabel(battery));
    StringGrid->SetCells(1, battery, TimeStampText(QDateTime::currentDateTime()));
    StringGrid->SetCells(2, battery, voltage);
    StringGrid->SetCells(3, battery, temperature);
    StringGrid->SetCells(4, battery, StatusText(reading.StatusCode));
    Chart1->Series(0)->AddXY(battery, reading.Voltage, voltage, VoltageBarColor());
    Chart2->Series(0)->AddXY(battery, reading.Temperature, temperature, TemperatureBarColor());
    Memo1->appendPlainText(LiveSummaryLine(battery, reading));
}

void TForm1::AppendHexEcho(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        Memo1->appendPlainText(FormatHexBytes(bytes.subspan(i, 1)));
}

// ---------------------------------------------------------------------------------------------
// Export

void TForm1::RzBitBtn6Click() { ExportGridsToExcel({StringGrid->Model()}, this); }

void TForm1::RzBitBtn5Click() {
    for (::StringGrid* grid :
         {StringGrid9, StringGrid10, StringGrid11, StringGrid12, StringGrid13, StringGrid14})
        ExportGridsToExcel({grid->Model()}, this);
}
