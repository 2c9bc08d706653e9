// The tools window: controls as designed, the exports and the settings handlers. Exports never write the
// target in place: a full disk or a vanished folder must not cost the user the file saved last time.
#include "frmDodatkiU.h"

#include "KeyboardAccess.h"
#include "PictureFormat.h"
#include "RecordingSet.h"
#include "common/FormStorage_AppError.h"
#include "common/TevTools.h"
#include "readout/CsvRows.h"
#include "readout/StatusReadout.h"
#include "serial/TevComPort.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTextEdit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

const QString CsvFilter = QStringLiteral("CSF Files (*.CSV)|*.csv");
const QString JpgFilter = QStringLiteral("Pliki JPG (*.jpg)|*.jpg");
const QString DefaultDir = QStringLiteral("c:\\");

// "Description|pattern" as the window system writes filters, into Qt's "Description (patterns)": the
// pattern joins those the description already names, so *.csv files show while the text stays as designed.
QString qtFilter(const QString& filter) {
    const QString description = filter.section(QLatin1Char('|'), 0, 0);
    const QString pattern = filter.section(QLatin1Char('|'), 1, 1);
    const qsizetype open = description.lastIndexOf(QLatin1Char('('));
    if (description.endsWith(QLatin1Char(')')) && open >= 0) {
        QStringList patterns =
            description.mid(open + 1, description.size() - open - 2).split(QLatin1Char(' '));
        if (!patterns.contains(pattern))
            patterns << pattern;
        return description.left(open + 1) + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return description + QStringLiteral(" (") + pattern + QLatin1Char(')');
}

QFont pixelFont(const char* family, int px, bool bold = false) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}

QFileDialog* makeSaveDialog(QWidget* parent, const QString& filter, const QString& suffix) {
    auto* d = new QFileDialog(parent);
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setFileMode(QFileDialog::AnyFile);
    d->setOption(QFileDialog::DontConfirmOverwrite, true);
    d->setNameFilter(qtFilter(filter));
    d->setDefaultSuffix(suffix);
    d->setDirectory(DefaultDir);
    return d;
}

// The window's own icon: a red trace on a white card.
QIcon toolsIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::white);
    p.setPen(QColor(0, 128, 255));
    p.drawRoundedRect(QRectF(2, 2, 28, 28), 4, 4);
    p.setPen(QPen(Qt::red, 2.5));
    p.drawPolyline(QPolygonF({QPointF(6, 22), QPointF(12, 14), QPointF(18, 18), QPointF(26, 8)}));
    return QIcon(pm);
}

QIcon saveIcon() {
    QPixmap pm(20, 20);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setBrush(QColor(0, 128, 255));
    p.setPen(Qt::NoPen);
    p.drawRect(2, 2, 16, 16);
    p.setBrush(Qt::white);
    p.drawRect(5, 3, 10, 6);
    p.drawRect(5, 12, 10, 5);
    return QIcon(pm);
}

} // namespace

void TDropDownComboBox::showPopup() {
    if (OnDropDown)
        OnDropDown(this);
    QComboBox::showPopup();
}

TfrmDodatki::TfrmDodatki(QWidget* parent) : TTevForm(parent) {
    setObjectName(QStringLiteral("frmDodatki"));
    setWindowTitle(QStringLiteral("PRAVEX Tools"));
    setWindowIcon(toolsIcon());
    setFont(pixelFont("Tahoma", 11));
    resize(593, 409);

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    PageControl->setGeometry(8, 8, 593 - 16, 409 - 16);
    PageControl->setStyleSheet(QStringLiteral(
        "QTabBar::tab { width: 120px; height: 25px; }"
        "QTabBar::tab:selected { color: rgb(0,128,255); font-family: Verdana; font-weight: bold; }"));

    AdvTabSheet1 = new QWidget;
    AdvTabSheet1->setObjectName(QStringLiteral("AdvTabSheet1"));
    AdvTabSheet1->setAutoFillBackground(true);
    AdvTabSheet1->setPalette(QPalette(Qt::white));
    PageControl->addTab(AdvTabSheet1, QStringLiteral("Terminal"));
    Label1 = new QLabel(QStringLiteral("Received data:"), AdvTabSheet1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(pixelFont("Verdana", 11));
    Label1->setStyleSheet(QStringLiteral("color: rgb(192,192,192);"));
    Label1->move(16, 6);
    Memo3 = new QTextEdit(AdvTabSheet1);
    Memo3->setObjectName(QStringLiteral("Memo3"));
    Memo3->setGeometry(16, 24, 273, 321);
    Memo3->setReadOnly(true);
    Memo3->setAcceptRichText(false);
    Memo3->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo3->setFont(pixelFont("Tahoma", 11));
    // The log's colours are chosen for white: a dark desktop palette must not turn its ground black.
    QPalette paper = Memo3->palette();
    paper.setColor(QPalette::Base, Qt::white);
    paper.setColor(QPalette::Text, Qt::black);
    Memo3->setPalette(paper);
    BitBtn1 = new QPushButton(saveIcon(), QStringLiteral("Save as CSV"), AdvTabSheet1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(352, 40, 137, 33);
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

    AdvTabSheet2 = new QWidget;
    AdvTabSheet2->setObjectName(QStringLiteral("AdvTabSheet2"));
    AdvTabSheet2->setAutoFillBackground(true);
    AdvTabSheet2->setPalette(QPalette(Qt::white));
    PageControl->addTab(AdvTabSheet2, QStringLiteral("Charts"));
    Chart1 = new TTevChart(AdvTabSheet2);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    // The chart paints its own white ground; the switches on it must stay dark on light too.
    QPalette chartPaper = Chart1->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        chartPaper.setColor(role, Qt::white);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        chartPaper.setColor(role, Qt::black);
    Chart1->setPalette(chartPaper);
    CheckBox1 = new QCheckBox(QStringLiteral("Labels"), Chart1);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox2 = new QCheckBox(QStringLiteral("3D view"), Chart1);
    CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
    // The tab control's style sheet keeps the chart's palette from reaching them: they get it themselves.
    CheckBox1->setPalette(chartPaper);
    CheckBox2->setPalette(chartPaper);
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { CheckBox1Click(); });
    connect(CheckBox2, &QCheckBox::clicked, this, [this] { CheckBox2Click(); });
    AdvPopupMenu1 = new QMenu(this);
    AdvPopupMenu1->setObjectName(QStringLiteral("AdvPopupMenu1"));
    Zapiszwykresdopliku1 = AdvPopupMenu1->addAction(saveIcon(), QStringLiteral("Zapisz wykres do pliku"));
    Zapiszwykresdopliku1->setObjectName(QStringLiteral("Zapiszwykresdopliku1"));
    connect(Zapiszwykresdopliku1, &QAction::triggered, this, [this] { Zapiszwykresdopliku1Click(); });
    Chart1->SetPopupMenu(AdvPopupMenu1);
    setUpRecordings();

    Ustawienia = new QWidget;
    Ustawienia->setObjectName(QStringLiteral("Ustawienia"));
    Ustawienia->setAutoFillBackground(true);
    Ustawienia->setPalette(QPalette(Qt::white));
    PageControl->addTab(Ustawienia, QStringLiteral("Settings"));
    GroupBox1 = new QGroupBox(QStringLiteral(" RS232 port options "), Ustawienia);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(3, 3, 310, 182);
    cbComPortAutoDetect = new QCheckBox(QStringLiteral("Autodetect COM port"), GroupBox1);
    cbComPortAutoDetect->setObjectName(QStringLiteral("cbComPortAutoDetect"));
    cbComPortAutoDetect->move(16, 24);
    // START reads the mode from this box: it must follow the store before the window is ever shown.
    SetCheckedSilently(cbComPortAutoDetect,
                       RegReadBool(QStringLiteral("ComPortAutoDetect"), true, PravexKey));
    connect(cbComPortAutoDetect, &QCheckBox::clicked, this, [this] { cbComPortAutoDetectClick(); });
    cbxComPort = new TDropDownComboBox(GroupBox1);
    cbxComPort->setObjectName(QStringLiteral("cbxComPort"));
    cbxComPort->setEditable(true);
    cbxComPort->setInsertPolicy(QComboBox::NoInsert);
    cbxComPort->setGeometry(16, 56, 145, 21);
    cbxComPort->OnDropDown = [this](QObject*) { cbxComPortDropDown(); };
    Button1 = new QPushButton(QStringLiteral("SET"), GroupBox1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(184, 54, 49, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    SaveDialog1 = makeSaveDialog(this, CsvFilter, QStringLiteral("csv"));
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SavePictureDialog1 = makeSaveDialog(this, JpgFilter, QStringLiteral("jpg"));
    SavePictureDialog1->setObjectName(QStringLiteral("SavePictureDialog1"));
    ExecuteDialog = [](QFileDialog* d) { return d->exec() == QDialog::Accepted; };

    TevFormStorage1 = new TTevFormStorage(this);
    TevFormStorage1->setObjectName(QStringLiteral("TevFormStorage1"));
    TevFormStorage1->SetIniFileName(ApplicationExeIniName);
    TevFormStorage1->SetTypeIniName(TApplicationIniName::asAppIniName);
    TevFormStorage1->SetUseRegistry(true);
    TevFormStorage1->Loaded();
    SetUpToolsWindowKeys(*this);
    AdvTabSheet1->installEventFilter(this);
    AdvTabSheet2->installEventFilter(this);
    layoutChartTab();
}

TfrmDodatki::~TfrmDodatki() {
    DoDestroy();
}

void TfrmDodatki::resizeEvent(QResizeEvent* event) {
    TTevForm::resizeEvent(event);
    PageControl->setGeometry(8, 8, std::max(40, width() - 16), std::max(40, height() - 16));
}

bool TfrmDodatki::eventFilter(QObject* watched, QEvent* event) {
    // The pages get their size from the tab control after the window's own resize.
    if (event->type() == QEvent::Resize) {
        if (watched == AdvTabSheet1) {
            // The log takes what the window gains; the button keeps its place beside the log.
            Memo3->resize(std::max(273, AdvTabSheet1->width() - 300),
                          std::max(40, AdvTabSheet1->height() - 24 - 15));
            BitBtn1->move(Memo3->geometry().right() + 1 + 63, BitBtn1->y());
        } else if (watched == AdvTabSheet2)
            layoutChartTab();
    }
    return TTevForm::eventFilter(watched, event);
}

void TfrmDodatki::layoutChartTab() {
    Chart1->setGeometry(AdvTabSheet2->rect());
    // The two switches sit at the chart's bottom left, where the design put them (325 of 360).
    const int y = std::max(0, Chart1->height() - 35);
    CheckBox1->adjustSize();
    CheckBox2->adjustSize();
    CheckBox1->move(27, y);
    CheckBox2->move(144, y);
    layoutRecordingBar();
}

void TfrmDodatki::entryAdded(const QString& text, TColor colour) {
    AddColoredLine(Memo3, text, 0, colour, 0, StatusReadout::logFontName(), StatusReadout::LogFontSize);
}
void TfrmDodatki::entriesCleared() {
    Memo3->clear();
}
void TfrmDodatki::addPoint(double x, double y) {
    Chart1->AddXY(x, y);
}
void TfrmDodatki::clearPoints() {
    Chart1->Clear();
}
void TfrmDodatki::setAxisRange(double minimum, double maximum) {
    Chart1->SetLeftAxisRange(minimum, maximum);
}

bool TfrmDodatki::runDialog(QFileDialog* dialog, const QString& folder) {
    // The stored folder may be one this system does not have (the first-run default is "c:\").
    dialog->setDirectory(QDir(folder).exists() ? folder : QDir::homePath());
    dialog->selectFile(QString());
    return ExecuteDialog && ExecuteDialog(dialog) && !dialog->selectedFiles().isEmpty() &&
           !dialog->selectedFiles().constFirst().isEmpty();
}

static QString folderOf(const QString& file) {
    QString dir = QFileInfo(file).absolutePath();
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

void TfrmDodatki::BitBtn1Click() {
    const QString folder = RegReadString(QStringLiteral("csvdir"), DefaultDir, PravexKey);
    if (!runDialog(SaveDialog1, folder))
        return;
    const QString file = SaveDialog1->selectedFiles().constFirst();
    RegWriteString(QStringLiteral("csvdir"), folderOf(file), PravexKey);
    const QString error = WriteFileReplacing(file, CsvBytes(FCsvRows ? FCsvRows() : QStringList()));
    if (!error.isEmpty())
        ShowApplicationError(error);
}

void TfrmDodatki::Zapiszwykresdopliku1Click() {
    SavePictureDialog1->setWindowTitle(QStringLiteral("Zapisz wykres jako:"));
    const QString folder = RegReadString(QStringLiteral("JpgInitDir"), DefaultDir, PravexKey);
    if (!runDialog(SavePictureDialog1, folder))
        return;
    const PictureTarget target = PictureTargetFor(SavePictureDialog1->selectedFiles().constFirst());
    RegWriteString(QStringLiteral("JpgInitDir"), folderOf(target.path), PravexKey);
    QByteArray bytes;
    {
        const QImage picture = Chart1->RenderToImage();
        bytes = EncodePicture(picture, target.format, 98);
    }
    const QString error = bytes.isEmpty() ? QStringLiteral("Cannot encode the chart picture")
                                          : WriteFileReplacing(target.path, bytes);
    if (!error.isEmpty())
        ShowApplicationError(error);
}

void TfrmDodatki::CheckBox1Click() {
    Chart1->SetShowLabels(CheckBox1->isChecked());
}
void TfrmDodatki::CheckBox2Click() {
    Chart1->SetView3D(CheckBox2->isChecked());
}

void TfrmDodatki::setUpRecordings() {
    Recordings1 = new RecordingSet(Chart1, this);
    AdvPopupMenu1->addSeparator();
    OpenRecording1 = AdvPopupMenu1->addAction(tr("Open recording…"));
    OpenRecording1->setObjectName(QStringLiteral("OpenRecording1"));
    OpenRecording1->setShortcut(QKeySequence::Open);
    addAction(OpenRecording1); // Ctrl+O also with the menu closed
    connect(OpenRecording1, &QAction::triggered, this, [this] { OpenRecording1Click(); });
    CloseRecordings1 = AdvPopupMenu1->addAction(tr("Close recordings"));
    CloseRecordings1->setObjectName(QStringLiteral("CloseRecordings1"));
    connect(CloseRecordings1, &QAction::triggered, Recordings1, &RecordingSet::closeAll);
    AdvPopupMenu1->addSeparator();
    auto* alignment = new QActionGroup(this);
    AlignAtStart1 = AdvPopupMenu1->addAction(tr("Align recordings at start"));
    AlignAtStart1->setObjectName(QStringLiteral("AlignAtStart1"));
    WallClock1 = AdvPopupMenu1->addAction(tr("Recordings in wall-clock time"));
    WallClock1->setObjectName(QStringLiteral("WallClock1"));
    for (QAction* a : {AlignAtStart1, WallClock1}) {
        a->setCheckable(true);
        alignment->addAction(a);
    }
    AlignAtStart1->setChecked(true);
    connect(WallClock1, &QAction::toggled, Chart1, &TTevChart::SetWallClock);

    RecordingStatus = new QLabel(Chart1);
    RecordingStatus->setObjectName(QStringLiteral("RecordingStatus"));
    RecordingStatus->setFont(pixelFont("Verdana", 10));
    RecordingStatus->setStyleSheet(QStringLiteral("color: rgb(64,64,64);"));
    RecordingStatus->hide();
    RecordingCancel = new QPushButton(tr("Cancel"), Chart1);
    RecordingCancel->setObjectName(QStringLiteral("RecordingCancel"));
    RecordingCancel->hide();
    connect(RecordingCancel, &QPushButton::clicked, Recordings1, &RecordingSet::cancelLoading);
    connect(Recordings1, &RecordingSet::statusChanged, this, [this] {
        const QString text = Recordings1->statusText();
        RecordingStatus->setText(text);
        RecordingStatus->setVisible(!text.isEmpty());
        RecordingCancel->setVisible(Recordings1->loading());
        CloseRecordings1->setEnabled(Recordings1->openCount() > 0 || Recordings1->loading());
        WallClock1->setEnabled(Recordings1->allHaveTimes());
        layoutRecordingBar();
    });
    CloseRecordings1->setEnabled(false);
    WallClock1->setEnabled(false);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
    OpenDialog1->setNameFilters({qtFilter(CsvFilter), tr("All files (*)")});
    OpenDialog1->setWindowTitle(tr("Open recording"));
}

void TfrmDodatki::layoutRecordingBar() {
    // Under the chart's title, left of the legend's corner; the status grows downwards.
    RecordingStatus->setMaximumWidth(std::max(60, Chart1->width() - 180));
    RecordingStatus->adjustSize();
    RecordingStatus->move(56, 30);
    RecordingCancel->adjustSize();
    RecordingCancel->move(56, RecordingStatus->isVisible() ? 32 + RecordingStatus->height() : 30);
}

void TfrmDodatki::OpenRecording1Click() {
    const QString folder = RegReadString(QStringLiteral("RecordingDir"), QDir::homePath(), PravexKey);
    if (!runDialog(OpenDialog1, folder))
        return;
    const QStringList files = OpenDialog1->selectedFiles();
    RegWriteString(QStringLiteral("RecordingDir"), folderOf(files.constFirst()), PravexKey);
    OpenRecordings(files);
}

void TfrmDodatki::OpenRecordings(const QStringList& files) {
    if (!files.isEmpty())
        Recordings1->open(files);
}

void TfrmDodatki::cbxComPortDropDown() {
    // Keep what the user typed: refilling the list must not wipe a hand-written name.
    const QString typed = cbxComPort->currentText();
    cbxComPort->clear();
    if (FComPort)
        cbxComPort->addItems(FComPort->GetAvailableComPorts());
    cbxComPort->setEditText(typed);
}

void TfrmDodatki::Button1Click() {
    RegWriteString(QStringLiteral("naComPort"), cbxComPort->currentText(), PravexKey);
}

void TfrmDodatki::cbComPortAutoDetectClick() {
    RegWriteBool(QStringLiteral("ComPortAutoDetect"), cbComPortAutoDetect->isChecked(), PravexKey);
}

QByteArray TfrmDodatki::CsvBytes(const QStringList& rows) {
    return CsvRows::fileBytes(rows);
}

QByteArray TfrmDodatki::EncodeJpeg(const QImage& image, int quality) {
    if (image.isNull())
        return {};
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    tjhandle handle = tjInitCompress();
    if (!handle)
        return {};
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(handle, rgb.constBits(), rgb.width(), int(rgb.bytesPerLine()), rgb.height(),
                               TJPF_RGB, &buffer, &size, TJSAMP_444, quality, TJFLAG_ACCURATEDCT);
    QByteArray out;
    if (rc == 0 && buffer)
        out = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size));
    tjFree(buffer);
    tjDestroy(handle);
    return out;
}

namespace {

// The process's file mode mask, read without setting it: umask() would change it for a moment for every
// thread, and a file another thread makes meanwhile would get mode 0666.
mode_t currentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask & 0777);
            }
        }
    }
    return 022;
}

// The file a path names once every symbolic link on the way is followed; the path itself when it is not a
// link. A link to a file not there yet names where that file is to be.
QString resolvedTarget(const QString& path) {
    QFileInfo info(path);
    for (int depth = 0; info.isSymLink() && depth < 40; ++depth)
        info = QFileInfo(info.symLinkTarget());
    return info.absoluteFilePath();
}

void syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString TfrmDodatki::WriteFileReplacing(const QString& path, const QByteArray& bytes) {
    const QString shown = QDir::toNativeSeparators(path);
    auto failure = [&](const char* what, int error) {
        return QStringLiteral("%1 \"%2\". %3")
            .arg(QString::fromLatin1(what), shown, QString::fromLocal8Bit(std::strerror(error)));
    };
    // A link stays a link: the file it points to gets the new contents.
    const QFileInfo target(resolvedTarget(path));
    const QByteArray targetName = QFile::encodeName(target.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    // A short name of its own, so any name the folder takes is one whose save can work.
    QByteArray temp = folder + "/.pvx-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return failure("Cannot create file", errno);
    // The file keeps the mode it had; a new one gets the usual mode for the process.
    struct stat st {};
    const mode_t mode =
        ::stat(targetName.constData(), &st) == 0 ? (st.st_mode & 0777) : (0666 & ~currentUmask());
    // Best effort: a file system without modes (a FAT stick) still takes the save.
    (void)::fchmod(fd, mode);
    int error = 0;
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (!error && left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        data += n;
        left -= n;
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temp.constData(), targetName.constData()) != 0)
        error = errno;
    if (error) {
        ::unlink(temp.constData());
        return failure("Cannot write file", error);
    }
    // The rename is only lasting once the folder is on disk too.
    syncFolder(folder);
    return {};
}
