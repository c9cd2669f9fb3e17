#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Controls.h"
#include "app/LayoutKit.h"
#include "app/TForm1.h"
#include "app/TrendCsvExport.h"
#include "display/LiveReading.h"
#include "trend/TrendPage.h"
#include "widgets/BarChart.h"
#include "widgets/JpegImage.h"
#include "widgets/StringGrid.h"

// The window's pages, each built from its table of controls: name, kind, geometry, text, look.

using namespace layout;

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
    FitTimeColumn(StringGrid, 1);

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
        const QString text =
            battery::BatteryLabel({battery::kDeviceA1, static_cast<std::uint8_t>(i)});
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

    Button1 =
        MakeButton(page, "Button1", {96, 24, 113, 33}, QStringLiteral("打开串口"), "port-open");
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

// Page "历史趋势", after the four pages above: the trend of any batteries over any time range,
// read from the history store.
void TForm1::BuildTrendPage(const QString& storeFile) {
    TrendSheet = new TrendPage(storeFile);
    TrendSheet->setObjectName(QStringLiteral("TrendSheet"));
    TrendSheet->SetCheckedBatteries(
        {battery::WatchedBatteries().begin(), battery::WatchedBatteries().end()});
    TrendSheet->SetCsvExporter([this, storeFile](const std::vector<battery::BatteryId>& batteries,
                                                 const TimeRange& range) {
        ExportTrendCsv(this, storeFile, batteries, range);
    });
    const int index =
        RzPageControl1->AddPage(TrendSheet, QStringLiteral("历史趋势"), QColor(0xF0, 0xF0, 0xE8));
    RzPageControl1->tabBar()->setTabTextColor(index, kPurple);
}
