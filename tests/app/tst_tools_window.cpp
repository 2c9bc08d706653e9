// The tools window with the main window beside it: the port box and check box the tools button fills,
// "SET", the check box's writes, and the two exports byte for byte, including failed writes.
// labels: gui
#include "Unit1.h"
#include "app_helpers.h"
#include "common/FormStorage_AppError.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

using namespace apptest;

namespace {

struct Windows : ::testing::Test {
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TfrmDodatki> tools;
    QStringList shownDirs; // the folder each dialog opened in
    QString answer;        // the file the "user" picks; empty: cancel
    QStringList errors;
    TApplicationErrorHandler previousHandler;

    void SetUp() override {
        ClearSettings();
        previousHandler = SetApplicationErrorHandler([this](const QString& t) { errors << t; });
        form1 = std::make_unique<TForm1>();
        tools = std::make_unique<TfrmDodatki>();
        form1->SetToolsWindow(tools.get());
        tools->ExecuteDialog = [this](QFileDialog* d) {
            shownDirs << d->directory().absolutePath();
            if (answer.isEmpty())
                return false;
            d->selectFile(answer);
            return true;
        };
    }
    void TearDown() override {
        tools.reset();
        form1.reset();
        SetApplicationErrorHandler(previousHandler);
    }
    void feed(const QStringList& lines) {
        form1->Readout().start();
        for (const QString& l : lines)
            form1->TevComPort3RxString(form1->TevComPort3, l);
    }
};

// Decodes a JPEG with the same library that wrote it.
QImage decodeJpeg(const QByteArray& bytes) {
    tjhandle h = tjInitDecompress();
    int w = 0, hgt = 0, sub = 0, colours = 0;
    auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    if (tjDecompressHeader3(h, data, (unsigned long)bytes.size(), &w, &hgt, &sub, &colours) != 0) {
        tjDestroy(h);
        return {};
    }
    QImage out(w, hgt, QImage::Format_RGB888);
    const int rc = tjDecompress2(h, data, (unsigned long)bytes.size(), out.bits(), w, int(out.bytesPerLine()),
                                 hgt, TJPF_RGB, 0);
    tjDestroy(h);
    return rc == 0 ? out : QImage();
}

// Files larger than this cannot be written while it holds: a full disk that root cannot write past.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

} // namespace

TEST_F(Windows, ToolsButtonFillsThePortBoxAndCheckBoxFromTheSettings) {
    EXPECT_TRUE(tools->isHidden());
    EXPECT_TRUE(tools->cbComPortAutoDetect->isChecked());
    ASSERT_TRUE(RegWriteString(QStringLiteral("naComPort"), QStringLiteral("no-such-port"), PravexKey));
    ASSERT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));
    form1->BitBtn1Click();
    EXPECT_TRUE(tools->isVisible());
    EXPECT_EQ(tools->PageControl->currentIndex(), 1);
    EXPECT_EQ(tools->PageControl->tabText(1), QStringLiteral("Charts"));
    QStringList items;
    for (int i = 0; i < tools->cbxComPort->count(); ++i)
        items << tools->cbxComPort->itemText(i);
    EXPECT_EQ(items, form1->TevComPort3->GetAvailableComPorts());
    // The stored port is not among them: nothing is selected and the box is empty.
    EXPECT_EQ(tools->cbxComPort->currentText(), QString());
    EXPECT_FALSE(tools->cbComPortAutoDetect->isChecked());
    // Set silently: the setting was not written back by the click handler (it would still read false,
    // so change the store behind the box's back and check it is left alone).
    ASSERT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), true, PravexKey));
    SetCheckedSilently(tools->cbComPortAutoDetect, false);
    EXPECT_TRUE(RegReadBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));

    // A stored port that is in the list gets selected.
    if (!items.isEmpty()) {
        ASSERT_TRUE(RegWriteString(QStringLiteral("naComPort"), items.last(), PravexKey));
        form1->BitBtn1Click();
        EXPECT_EQ(tools->cbxComPort->currentText(), items.last());
    }
}

TEST_F(Windows, CheckBoxWritesAtEveryClickAndSetStoresTheTypedPort) {
    tools->show();
    tools->cbComPortAutoDetect->click();
    EXPECT_FALSE(RegReadBool(QStringLiteral("ComPortAutoDetect"), true, PravexKey));
    tools->cbComPortAutoDetect->click();
    EXPECT_TRUE(RegReadBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));

    tools->cbxComPort->setEditText(QStringLiteral("pts/77"));
    tools->Button1->click();
    EXPECT_EQ(RegReadString(QStringLiteral("naComPort"), QString(), PravexKey), QStringLiteral("pts/77"));
    // Opening the list refills it with the ports there are now, keeping the typed name.
    tools->cbxComPortDropDown();
    EXPECT_EQ(tools->cbxComPort->count(), form1->TevComPort3->GetAvailableComPorts().size());
    EXPECT_EQ(tools->cbxComPort->currentText(), QStringLiteral("pts/77"));
    // An empty box stores an empty name.
    tools->cbxComPort->setEditText(QString());
    tools->Button1->click();
    EXPECT_EQ(RegReadString(QStringLiteral("naComPort"), QStringLiteral("x"), PravexKey), QString());
}

TEST_F(Windows, CsvIsWrittenByteForByteAndItsFolderRemembered) {
    const QString dir = ScratchDir(QStringLiteral("csv"));
    answer = dir + QStringLiteral("/before.csv");
    tools->BitBtn1Click();
    // Before the first START there are no rows at all: an empty file.
    EXPECT_TRUE(QFileInfo::exists(answer));
    EXPECT_EQ(ReadFile(answer), QByteArray());
    EXPECT_EQ(RegReadString(QStringLiteral("csvdir"), QString(), PravexKey), dir + QLatin1Char('/'));

    feed({QStringLiteral("PVEX: 3.9V ON"), QStringLiteral("garbage line"), QStringLiteral("LBAT: 3.31V OFF"),
          QStringLiteral("PVEX: 4,1V OFF"), QStringLiteral("PVEX:\xE9V ON")});
    answer = dir + QStringLiteral("/after.csv");
    ASSERT_TRUE(WriteFile(answer, QByteArray(1000, 'x')));
    tools->BitBtn1Click();
    EXPECT_EQ(ReadFile(answer), QByteArray(" ;voltage\r\n2;3.9\r\n4;3.31\r\n6;4,1\r\n"));
    // The next dialog opens where the last file went; the picture dialog keeps its own folder.
    answer.clear();
    tools->BitBtn1Click();
    EXPECT_EQ(shownDirs.last(), dir);
    const QString picDir = ScratchDir(QStringLiteral("pic"));
    answer = picDir + QStringLiteral("/chart.jpg");
    tools->Zapiszwykresdopliku1Click();
    EXPECT_EQ(RegReadString(QStringLiteral("JpgInitDir"), QString(), PravexKey), picDir + QLatin1Char('/'));
    EXPECT_EQ(RegReadString(QStringLiteral("csvdir"), QString(), PravexKey), dir + QLatin1Char('/'));
    answer.clear();
    tools->Zapiszwykresdopliku1Click();
    EXPECT_EQ(shownDirs.last(), picDir);
    EXPECT_EQ(tools->SavePictureDialog1->windowTitle(), QStringLiteral("Zapisz wykres jako:"));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char('\n')).toStdString();
}

TEST_F(Windows, CancelledDialogsStoreAndWriteNothing) {
    ASSERT_TRUE(RegWriteString(QStringLiteral("csvdir"), QStringLiteral("/nowhere/"), PravexKey));
    answer.clear();
    tools->BitBtn1Click();
    tools->Zapiszwykresdopliku1Click();
    EXPECT_EQ(shownDirs.size(), 2);
    EXPECT_EQ(RegReadString(QStringLiteral("csvdir"), QString(), PravexKey), QStringLiteral("/nowhere/"));
    EXPECT_EQ(RegReadString(QStringLiteral("JpgInitDir"), QStringLiteral("<none>"), PravexKey),
              QStringLiteral("<none>"));
}

TEST_F(Windows, PictureHasTheChartsSizeOnWhite) {
    feed(
        {QStringLiteral("PVEX: 3.9V ON"), QStringLiteral("PVEX: 3.5V ON"), QStringLiteral("PVEX: 4.0V OFF")});
    form1->BitBtn1Click();
    tools->resize(700, 480);
    ASSERT_TRUE(WaitFor([&] { return tools->Chart1->width() > 600; }, 5000));
    answer = ScratchDir(QStringLiteral("jpg")) + QStringLiteral("/chart.jpg");
    tools->Zapiszwykresdopliku1Click();
    const QByteArray bytes = ReadFile(answer);
    ASSERT_GT(bytes.size(), 2);
    EXPECT_EQ(bytes.left(2), QByteArray("\xFF\xD8"));
    const QImage picture = decodeJpeg(bytes);
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), tools->Chart1->size());
    const QColor corner = picture.pixelColor(0, 0);
    EXPECT_GE(corner.red(), 250);
    EXPECT_GE(corner.green(), 250);
    EXPECT_GE(corner.blue(), 250);
    // The red line made it into the picture.
    int reddish = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            reddish += c.red() > 200 && c.green() < 80 && c.blue() < 80;
        }
    EXPECT_GT(reddish, 50);
}

TEST_F(Windows, FailedWritesKeepTheOldFileAndShowTheError) {
    feed({QStringLiteral("PVEX: 3.9V ON"), QStringLiteral("PVEX: 3.8V ON")});
    const QString dir = ScratchDir(QStringLiteral("full"));
    const QByteArray old("old contents that must survive");
    answer = dir + QStringLiteral("/keep.csv");
    ASSERT_TRUE(WriteFile(answer, old));
    const QString pic = dir + QStringLiteral("/keep.jpg");
    ASSERT_TRUE(WriteFile(pic, old));
    {
        FileSizeLimit full(8);
        tools->BitBtn1Click();
        answer = pic;
        tools->Zapiszwykresdopliku1Click();
    }
    EXPECT_EQ(ReadFile(dir + QStringLiteral("/keep.csv")), old);
    EXPECT_EQ(ReadFile(pic), old);
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("keep.csv"))) << errors[0].toStdString();
    // No temporary file is left behind.
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 2);

    // A folder that does not exist: the error again, nothing created.
    errors.clear();
    answer = dir + QStringLiteral("/missing/x.csv");
    tools->BitBtn1Click();
    EXPECT_EQ(errors.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(answer));
}

TEST_F(Windows, LabelsAndThreeDSwitchTheChart) {
    tools->CheckBox1->click();
    EXPECT_TRUE(tools->Chart1->ShowLabels());
    tools->CheckBox2->click();
    EXPECT_TRUE(tools->Chart1->View3D());
    tools->CheckBox1->click();
    tools->CheckBox2->click();
    EXPECT_FALSE(tools->Chart1->ShowLabels());
    EXPECT_FALSE(tools->Chart1->View3D());
    EXPECT_EQ(tools->Zapiszwykresdopliku1->text(), QStringLiteral("Zapisz wykres do pliku"));
    EXPECT_EQ(tools->Chart1->PopupMenu(), tools->AdvPopupMenu1);
}

TEST_F(Windows, StartClearsTheLogAndChartAndTheReadoutFillsThem) {
    feed({QStringLiteral("PVEX: 3.9V ON"), QStringLiteral("nonsense")});
    EXPECT_EQ(tools->Chart1->Count(), 1);
    EXPECT_EQ(tools->Memo3->document()->blockCount(), 2);
    EXPECT_TRUE(tools->Memo3->toPlainText().contains(QStringLiteral(" > PVEX: 3.9V ON")));
    EXPECT_TRUE(tools->Memo3->toPlainText().endsWith(QStringLiteral("garbage")));
    feed({QStringLiteral("PVEX: 4.5V OFF")});
    EXPECT_EQ(tools->Chart1->Count(), 1);
    EXPECT_DOUBLE_EQ(tools->Chart1->XValue(0), 2.0);
    EXPECT_DOUBLE_EQ(tools->Chart1->LeftMaximum(), 4.7);
    EXPECT_EQ(form1->RzLEDDisplay1->Caption(), QStringLiteral(" 4.5 V"));
    EXPECT_EQ(form1->lbDCDC->text(), QStringLiteral("OFF"));
}

// The readout hands over text and colour; the log's look is the tools window's: Consolas 8, regular.
TEST_F(Windows, LogEntriesShowInTheLogsFontAndTheirColour) {
    const struct {
        const char* line;
        TColor colour;
    } cases[] = {
        {"nonsense", 0x808080},
        {"PVEX: 3.9V OFF", 0xFF0000},
        {"PVEX: 3.9V ON", 0x008000},
        {"LBAT: 3.1V ON", 0x0000FF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        feed({QString::fromLatin1(c.line)});
        ASSERT_EQ(tools->Memo3->document()->blockCount(), 1);
        QTextCursor cursor(tools->Memo3->document()->lastBlock());
        cursor.movePosition(QTextCursor::NextCharacter);
        const QTextCharFormat format = cursor.charFormat();
        EXPECT_EQ(format.foreground().color(), toQColor(c.colour));
        EXPECT_EQ(format.fontFamilies().toStringList(), QStringList{QStringLiteral("Consolas")});
        EXPECT_EQ(format.fontPointSize(), 8);
        EXPECT_NE(format.fontWeight(), QFont::Bold);
    }
}

TEST_F(Windows, SavingOverAFileKeepsWhatTheUserHad) {
    const QString dir = ScratchDir(QStringLiteral("keep"));
    auto modeOf = [](const QString& p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    const mode_t mask = ::umask(022);
    ::umask(mask);
    struct Case {
        const char* what;
        QString target;                // what the user picks
        QString written;               // where the bytes must end up
        std::function<void()> prepare; // the file as it was before
        int mode;                      // the mode the written file must have
    };
    const QString longName = QString(246, QLatin1Char('n')) + QStringLiteral(".csv"); // 250 bytes
    const QString real = dir + QStringLiteral("/data/real.csv");
    QDir().mkpath(dir + QStringLiteral("/data"));
    const std::vector<Case> cases = {
        {"private file", dir + QStringLiteral("/private.csv"), dir + QStringLiteral("/private.csv"),
         [&] {
             WriteFile(dir + QStringLiteral("/private.csv"), "old");
             ::chmod(QFile::encodeName(dir + QStringLiteral("/private.csv")).constData(), 0600);
         },
         0600},
        {"new file", dir + QStringLiteral("/new.csv"), dir + QStringLiteral("/new.csv"), [] {},
         int(0666 & ~mask)},
        {"link to a file", dir + QStringLiteral("/link.csv"), real,
         [&] {
             WriteFile(real, "old");
             ::chmod(QFile::encodeName(real).constData(), 0640);
             QFile::link(real, dir + QStringLiteral("/link.csv"));
         },
         0640},
        {"longest name", dir + QLatin1Char('/') + longName, dir + QLatin1Char('/') + longName, [] {},
         int(0666 & ~mask)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        const QByteArray bytes = QByteArray("new contents of ") + c.what;
        EXPECT_EQ(TfrmDodatki::WriteFileReplacing(c.target, bytes), QString());
        EXPECT_EQ(ReadFile(c.written), bytes);
        EXPECT_EQ(modeOf(c.written), c.mode);
        EXPECT_EQ(ReadFile(c.target), bytes);
    }
    // The link is still a link, and the process's mask is as it was.
    EXPECT_TRUE(QFileInfo(dir + QStringLiteral("/link.csv")).isSymLink());
    const mode_t after = ::umask(022);
    ::umask(after);
    EXPECT_EQ(after, mask);
    // Nothing is left behind but the files saved.
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 4);
}

TEST_F(Windows, ChartPictureIsTheChartAloneWithoutItsSwitches) {
    feed({QStringLiteral("PVEX: 3.9V ON"), QStringLiteral("PVEX: 3.5V ON")});
    form1->BitBtn1Click();
    tools->PageControl->setCurrentIndex(1);
    ASSERT_TRUE(WaitFor([&] { return tools->CheckBox1->isVisible(); }, 5000));
    const QImage withSwitches = tools->Chart1->RenderToImage();
    tools->CheckBox1->hide();
    tools->CheckBox2->hide();
    const QImage without = tools->Chart1->RenderToImage();
    EXPECT_EQ(withSwitches, without) << "the check boxes were drawn into the picture";
}
