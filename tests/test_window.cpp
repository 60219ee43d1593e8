#include "TestSupport.h"
#include "app/Constants.h"
#include "app/Identity.h"
#include "app/RunThread.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"
#include "engine/TestHooks.h"
#include "ui/Colors.h"
#include "ui/FolderChooser.h"
#include "ui/Picture.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {

// A palette with the given window and text colours (buttons text 40, 40, 40).
QPalette Palette(const QColor &window, const QColor &text) {
    QPalette palette(window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::ButtonText, QColor(40, 40, 40));
    return palette;
}

// Puts a palette on the application for one scope, then the previous one back.
class ScopedPalette {
public:
    explicit ScopedPalette(const QPalette &palette) : saved_(QGuiApplication::palette()) {
        QApplication::setPalette(palette);
    }
    ~ScopedPalette() { QApplication::setPalette(saved_); }
    ScopedPalette(const ScopedPalette &) = delete;
    ScopedPalette &operator=(const ScopedPalette &) = delete;

private:
    QPalette saved_;
};

// How far apart the lightest and darkest pixels of a button's middle lie,
// where its title is: 0 to 255.
int TitleContrast(QPushButton *button) {
    const QImage image = button->grab().toImage();
    int light = 0;
    int dark = 255;
    for (int y = image.height() / 4; y < image.height() * 3 / 4; ++y) {
        for (int x = image.width() / 4; x < image.width() * 3 / 4; ++x) {
            light = std::max(light, qGray(image.pixel(x, y)));
            dark = std::min(dark, qGray(image.pixel(x, y)));
        }
    }
    return light - dark;
}

class WindowTest : public Sandbox {
protected:
    void TearDown() override { SetFolderPromptForTesting({}); }

    void launch() { delegate.applicationDidFinishLaunching(); }

    template <typename T = QWidget> T *element(const char *name) const {
        T *found = delegate.window()->findChild<T *>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QStringList logMessages() const { return LogMessages(delegate); }

    OrganizerAppDelegate delegate;
};

TEST_F(WindowTest, EveryElementSitsAtItsFrame) {
    launch();
    // Qt's top-left rectangles of the bottom-left frames in a 520-high content.
    const std::pair<const char *, QRect> frames[] = {
        {"headerPicture", {34, 24, 86, 86}},       {"headerTitle", {136, 24, 360, 38}},
        {"headerDescription", {138, 68, 560, 24}}, {"desktopLine", {138, 98, 560, 20}},
        {"targetPanel", {32, 140, 696, 100}},      {"targetCaption", {52, 160, 120, 22}},
        {"targetField", {52, 186, 510, 30}},       {"chooseButton", {574, 184, 120, 34}},
        {"organizeButton", {104, 250, 220, 46}},   {"restoreButton", {436, 250, 220, 46}},
        {"summaryField", {34, 310, 690, 22}},      {"logView", {32, 342, 696, 148}},
    };
    QWidget *content = element("content");
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(content->size(), QSize(760, 520));
    const QObjectList children = content->children();
    int order = 0;
    for (const auto &[name, frame] : frames) {
        QWidget *widget = element(name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->parentWidget(), content) << name << " is a direct child";
        EXPECT_EQ(widget->geometry(), frame) << name;
        EXPECT_EQ(children.indexOf(widget), order++) << name << " added in build order";
    }
}

TEST_F(WindowTest, TextsFontsAndColoursFollowTheirRoles) {
    const ScopedPalette light(Palette(QColor(236, 236, 236), QColor(30, 30, 30)));
    launch();
    constexpr QRgb text = qRgb(30, 30, 30);
    struct LabelSpec {
        const char *name;
        QString text;
        int pixelSize;
        bool bold;
        double alpha; // the role's translucency over the palette's text colour
    };
    const LabelSpec labels[] = {
        {"headerTitle", AppName, 28, true, 1.0},
#ifdef Q_OS_MACOS
        {"headerDescription",
         QStringLiteral("整理 Mac 桌面上的文件和文件夹，集中放入指定文件夹，并可按记录一键还原。"),
         15, false, 0.5},
#else
        {"headerDescription",
         QStringLiteral("整理桌面上的文件和文件夹，集中放入指定文件夹，并可按记录一键还原。"), 15,
         false, 0.5},
#endif
        {"desktopLine", QStringLiteral("桌面位置：") + desktop(), 13, false, 0.26},
        {"targetCaption", QStringLiteral("指定文件夹"), 14, true, 1.0},
        {"summaryField",
         QStringLiteral("完成情况：已记录 0 个可还原项目。隐藏项目和目标文件夹默认跳过。"), 13,
         false, 0.5},
    };
    for (const LabelSpec &l : labels) {
        auto *label = element<QLabel>(l.name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), l.text) << l.name;
        EXPECT_EQ(label->font().pixelSize(), l.pixelSize) << l.name;
        EXPECT_EQ(label->font().bold(), l.bold) << l.name;
        const QColor color = label->palette().color(QPalette::WindowText);
        EXPECT_EQ(color.rgb(), text) << l.name;
        EXPECT_NEAR(color.alphaF(), l.alpha, 0.005) << l.name;
        EXPECT_FALSE(label->wordWrap()) << l.name;
        EXPECT_EQ(label->textInteractionFlags(), Qt::NoTextInteraction) << l.name;
    }
    const std::tuple<const char *, QString, QRgb> buttons[] = {
        {"chooseButton", QStringLiteral("选择..."), qRgb(40, 40, 40)},
        {"organizeButton", QStringLiteral("一键整理"), qRgb(0, 122, 255)},
        {"restoreButton", QStringLiteral("还原"), qRgb(40, 40, 40)}};
    for (const auto &[name, title, tint] : buttons) {
        auto *button = element<QPushButton>(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), title);
        EXPECT_EQ(button->font().pixelSize(), 16);
        EXPECT_TRUE(button->font().bold());
        EXPECT_EQ(button->palette().color(QPalette::ButtonText).rgba(), tint) << name;
        EXPECT_FALSE(button->autoDefault());
        EXPECT_FALSE(button->isDefault());
        EXPECT_EQ(button->accessibleName(), title);
    }
    // The font the log asks for; which face fontconfig then picks is the
    // machine's business.
    const QFont logFont = delegate.logView()->font();
    EXPECT_EQ(logFont.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    EXPECT_EQ(logFont.pixelSize(), 12);
    EXPECT_EQ(logFont.weight(), QFont::Normal);
    EXPECT_EQ(delegate.targetField()->accessibleName(), QStringLiteral("指定文件夹"));
    EXPECT_EQ(delegate.logView()->accessibleName(), QStringLiteral("活动记录"));
}

TEST_F(WindowTest, ScreenReadersReadWhatTheLabelsShow) {
    launch();
    const QString target = root() + QStringLiteral("/T");
    MakeDir(target);
    WriteFile(desktop() + QStringLiteral("/a.txt"), "a");
    delegate.targetField()->setText(target);
    const auto readAsShown = [this](const char *when) {
        for (QLabel *label : element("content")->findChildren<QLabel *>()) {
            if (label->text().isEmpty()) {
                continue; // the picture, named after the application
            }
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(label);
            ASSERT_NE(face, nullptr);
            EXPECT_EQ(face->text(QAccessible::Name), label->text())
                << label->objectName().toStdString() << " " << when;
        }
    };
    readAsShown("at start-up");
    Organize(delegate);
    ASSERT_TRUE(delegate.summaryField()->text().contains(QStringLiteral("已记录 1 个")));
    readAsShown("after organizing");
    Restore(delegate);
    ASSERT_TRUE(delegate.summaryField()->text().contains(QStringLiteral("已记录 0 个")));
    readAsShown("after restoring");
}

// The contrast ratio of two opaque colours as WCAG 2 defines it.
double Contrast(const QColor &a, const QColor &b) {
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST_F(WindowTest, TargetPanelStaysLegibleAndFollowsThePalette) {
    const QPalette light = Palette(QColor(246, 245, 244), QColor(0, 0, 0));
    const QPalette dark = Palette(QColor(36, 36, 36), QColor(255, 255, 255));
    const auto check = [](OrganizerAppDelegate &app, bool isDark) {
        auto *content = app.window()->findChild<QWidget *>(QStringLiteral("content"));
        auto *panel = app.window()->findChild<QWidget *>(QStringLiteral("targetPanel"));
        auto *caption = app.window()->findChild<QLabel *>(QStringLiteral("targetCaption"));
        auto *description = app.window()->findChild<QLabel *>(QStringLiteral("headerDescription"));
        auto *organize = app.window()->findChild<QPushButton *>(QStringLiteral("organizeButton"));
        ASSERT_TRUE(content && panel && caption && description && organize);
        const QImage painted = panel->grab().toImage();
        const QColor fill = painted.pixelColor(painted.width() / 2, painted.height() / 2);
        EXPECT_EQ(fill.rgb(), isDark ? qRgb(44, 44, 44) : qRgb(247, 247, 247));
        EXPECT_GE(Contrast(caption->palette().color(QPalette::WindowText), fill), 4.5);
        EXPECT_GE(Contrast(app.targetField()->palette().color(QPalette::Text), fill), 4.5);
        const QColor text = isDark ? Qt::white : Qt::black;
        EXPECT_EQ(content->palette().color(QPalette::Window).rgb(),
                  isDark ? qRgb(36, 36, 36) : qRgb(246, 245, 244));
        EXPECT_EQ(description->palette().color(QPalette::WindowText).rgb(), text.rgb());
        EXPECT_NEAR(description->palette().color(QPalette::WindowText).alphaF(), 0.5, 0.005);
        EXPECT_EQ(organize->palette().color(QPalette::ButtonText).rgb(),
                  isDark ? qRgb(10, 132, 255) : qRgb(0, 122, 255));
    };
    for (const bool startDark : {false, true}) {
        SCOPED_TRACE(startDark ? "built dark" : "built light");
        const ScopedPalette start(startDark ? dark : light);
        OrganizerAppDelegate app;
        app.applicationDidFinishLaunching();
        check(app, startDark);
        {
            SCOPED_TRACE("theme switched while running");
            const ScopedPalette switched(startDark ? light : dark);
            check(app, !startDark);
        }
        SCOPED_TRACE("and back");
        check(app, startDark);
    }
}

TEST_F(WindowTest, WindowIsFixedTitledAndShown) {
    launch();
    QMainWindow *window = delegate.window();
    EXPECT_EQ(window->windowTitle(), AppName);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable";
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(window->centralWidget()->size(), QSize(760, 520));
    EXPECT_FALSE(window->windowIcon().isNull());
    auto *picture = element<QLabel>("headerPicture");
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull());
    EXPECT_TRUE(DogPixmap(QSize(86, 86), 1.0, QStringLiteral(":/images/missing.svg")).isNull());
    const QPixmap wide = DogPixmap(QSize(200, 86), 1.0);
    EXPECT_EQ(wide.size(), QSize(86, 86)) << "scaled proportionally";
}

TEST_F(WindowTest, LogViewIsReadOnlySelectableAndWrapped) {
    launch();
    QPlainTextEdit *log = delegate.logView();
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_TRUE(log->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    const QString before = log->toPlainText();
    log->setFocus();
    QTest::keyClicks(log, QStringLiteral("typed"));
    EXPECT_EQ(log->toPlainText(), before);
}

TEST_F(WindowTest, TargetFieldStartsFromTheSettingExactly) {
    launch();
    EXPECT_EQ(delegate.targetField()->text(), QString());
    EXPECT_EQ(delegate.targetField()->placeholderText(),
              QStringLiteral("请选择桌面项目要放入的文件夹"));

    QSettings().setValue(TargetFolderKey, QStringLiteral("  /kept/with spaces  "));
    OrganizerAppDelegate second;
    second.applicationDidFinishLaunching();
    EXPECT_EQ(second.targetField()->text(), QStringLiteral("  /kept/with spaces  "));
}

TEST_F(WindowTest, StartUpShowsTheCountAtOnceAndLogsTheHintFirst) {
    MakeDir(supportFolder());
    WriteFile(supportFolder() + QStringLiteral("/restore-manifest.json"), "[{}, {}]");
    // Catch the summary's text at the moment the window is first shown.
    struct ShowWatcher : QObject {
        OrganizerAppDelegate *watched = nullptr;
        QString summaryAtShow;
        bool eventFilter(QObject *object, QEvent *event) override {
            if (event->type() == QEvent::Show && object == watched->window() &&
                summaryAtShow.isNull() && watched->summaryField() != nullptr) {
                summaryAtShow = watched->summaryField()->text();
            }
            return false;
        }
    } watcher;
    watcher.watched = &delegate;
    qApp->installEventFilter(&watcher);
    launch();
    qApp->removeEventFilter(&watcher);
    EXPECT_EQ(watcher.summaryAtShow,
              QStringLiteral("完成情况：已记录 2 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
    EXPECT_EQ(logMessages(), QStringList{QStringLiteral(
                                 "请选择一个用于接收桌面项目的文件夹，然后点击“一键整理”。")});
}

TEST_F(WindowTest, UnreadableManifestStillShowsTheWindowWithZero) {
    MakeDir(supportFolder());
    WriteFile(supportFolder() + QStringLiteral("/restore-manifest.json"), "{ not json");
    launch();
    EXPECT_TRUE(delegate.window()->isVisible());
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 0 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
}

TEST_F(WindowTest, ButtonsSendTheirActionsAndReturnPressesNone) {
    launch();
    int prompts = 0;
    SetFolderPromptForTesting([&prompts](QWidget *) -> std::optional<QString> {
        ++prompts;
        return std::nullopt;
    });
    QTest::mouseClick(element<QPushButton>("organizeButton"), Qt::LeftButton);
    EXPECT_EQ(logMessages().last(), QStringLiteral("请先选择指定文件夹。"));
    QTest::mouseClick(element<QPushButton>("restoreButton"), Qt::LeftButton);
    EXPECT_EQ(logMessages().last(), QStringLiteral("没有找到可还原记录。"));
    QTest::mouseClick(element<QPushButton>("chooseButton"), Qt::LeftButton);
    EXPECT_EQ(prompts, 1);

    const qsizetype lines = logMessages().size();
    for (QWidget *focus : {static_cast<QWidget *>(delegate.targetField()),
                           static_cast<QWidget *>(element<QPushButton>("organizeButton")),
                           static_cast<QWidget *>(element<QPushButton>("restoreButton"))}) {
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Return);
        QTest::keyClick(focus, Qt::Key_Enter);
    }
    EXPECT_EQ(logMessages().size(), lines);
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "busy cursor is restored";
}

// A disabled button looks it, in a light and a dark scheme: its title fades.
TEST_F(WindowTest, DisabledButtonsLookDisabledInLightAndDark) {
    QPalette dark = Palette(QColor(40, 40, 40), QColor(230, 230, 230));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    for (const QPalette &scheme : {Palette(QColor(236, 236, 236), QColor(30, 30, 30)), dark}) {
        const ScopedPalette applied(scheme);
        OrganizerAppDelegate app;
        app.applicationDidFinishLaunching();
        for (auto *button : app.window()->findChildren<QPushButton *>()) {
            const int enabled = TitleContrast(button);
            button->setEnabled(false);
            EXPECT_LT(TitleContrast(button) * 3, enabled * 2) << button->text().toStdString();
        }
    }
}

// Pressed from the keyboard, each button has the focus back once its run
// ends, not the log that took it meanwhile; and the focused log shows no
// caret.
TEST_F(WindowTest, KeyboardFocusReturnsToTheButtonAndTheLogShowsNoCaret) {
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate.window()));
    delegate.targetField()->setText(root() + QStringLiteral("/Target"));
    WriteFile(desktop() + QStringLiteral("/a.txt"), "a");
    for (const char *name : {"organizeButton", "restoreButton"}) {
        auto *button = element<QPushButton>(name);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        EXPECT_TRUE(QTest::qWaitFor([this] { return !delegate.runActive(); }));
        EXPECT_EQ(QApplication::focusWidget(), button) << name;
    }
    QPlainTextEdit *log = delegate.logView();
    log->setFocus();
    log->moveCursor(QTextCursor::End);
    const QRect caret = log->cursorRect().adjusted(-2, -2, 2, 2);
    const QImage focused = log->viewport()->grab(caret).toImage();
    log->clearFocus();
    EXPECT_TRUE(focused == log->viewport()->grab(caret).toImage());
}

TEST_F(WindowTest, MenuHoldsOneMenuWithTheQuitItem) {
    launch();
    const QList<QAction *> menus = delegate.window()->menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), AppName);
    ASSERT_NE(menus[0]->menu(), nullptr);
    const QList<QAction *> items = menus[0]->menu()->actions();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0]->text(), QStringLiteral("退出 Kestrue一键整理"));
    EXPECT_EQ(items[0]->shortcut(), QKeySequence(QKeySequence::Quit));

    QTimer::singleShot(0, items[0], &QAction::trigger);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0) << "the quit item ends the event loop";
}

TEST_F(WindowTest, ClosingTheWindowQuitsAndMinimisingDoesNot) {
    launch();
    delegate.window()->showMinimized();
    QTimer::singleShot(300, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 7) << "minimising keeps the application running";

    QTimer::singleShot(0, delegate.window(), &QWidget::close);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
}

// A run made long by a pause in every move.
class LongRunTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        target = root() + QStringLiteral("/Target");
        QSettings().setValue(TargetFolderKey, target);
    }
    void TearDown() override {
        TestHooks().moveFault = {};
        WindowTest::TearDown();
    }
    void slowDesktop(int items, unsigned long pauseMs) {
        for (int i = 0; i < items; ++i) {
            WriteFile(
                desktop() +
                    (i % 10 == 3 ? QStringLiteral("/fail-%1") : QStringLiteral("/f%1")).arg(i),
                "x");
        }
        TestHooks().moveFault = [pauseMs](const QByteArray &source) {
            QThread::msleep(pauseMs);
            return source.contains("/fail-") ? EACCES : 0;
        };
    }
    QStringList visibleTargetNames() const {
        QStringList names = Names(target);
        names.removeIf([](const QString &n) { return n.startsWith(QLatin1Char('.')); });
        return names;
    }

    QString target;
};

TEST_F(LongRunTest, TheWindowAnswersThroughoutAndTheControlsWait) {
    slowDesktop(60, 20);
    launch();
    int ticks = 0;
    QStringList summaries;
    bool controlsWaited = true;
    bool lineBeforeTheEnd = false;
    QTimer timer;
    timer.setInterval(10);
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        longestGap = std::max(longestGap, sinceTick.restart());
        if (!delegate.runActive()) {
            return;
        }
        for (const char *name : {"organizeButton", "restoreButton", "chooseButton"}) {
            controlsWaited = controlsWaited && !element<QPushButton>(name)->isEnabled();
        }
        controlsWaited = controlsWaited && delegate.targetField()->isReadOnly();
        const QString summary = delegate.summaryField()->text();
        if (summaries.isEmpty() || summaries.last() != summary) {
            summaries.append(summary);
        }
        lineBeforeTheEnd =
            lineBeforeTheEnd || logMessages().last().endsWith(QStringLiteral("：没有权限"));
    });
    timer.start();
    QElapsedTimer clock;
    clock.start();
    sinceTick.start();
    QTest::mouseClick(element<QPushButton>("organizeButton"), Qt::LeftButton);
    ASSERT_TRUE(delegate.runActive());
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    QTest::mouseClick(element<QPushButton>("organizeButton"), Qt::LeftButton); // ignored
    while (delegate.runActive() && clock.elapsed() < 30000) {
        QTest::qWait(5);
    }
    const qint64 ms = clock.elapsed();
    ASSERT_FALSE(delegate.runActive());
    EXPECT_GE(ms, 1000);
    EXPECT_GE(ticks, ms / 10 / 3) << "the event loop kept turning";
    EXPECT_LT(longestGap, 250) << "every request is answered within a quarter second";
    EXPECT_GE(summaries.size(), 3);
    EXPECT_LE(summaries.size(), ms / 50 + 2) << "progress is throttled";
    EXPECT_TRUE(summaries[1].startsWith(QStringLiteral("正在整理：已处理 ")))
        << summaries[1].toStdString();
    EXPECT_TRUE(summaries[1].endsWith(QStringLiteral(" / 60 个项目")));
    EXPECT_TRUE(controlsWaited);
    EXPECT_TRUE(lineBeforeTheEnd) << "log lines arrive as their events happen";

    EXPECT_EQ(logMessages().last(), QStringLiteral("整理完成：移动 54 个项目，跳过 6 个项目。"));
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 54 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
    for (const char *name : {"organizeButton", "restoreButton", "chooseButton"}) {
        EXPECT_TRUE(element<QPushButton>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(delegate.targetField()->isReadOnly());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// The system will not start the run's thread (out of memory or threads):
// the window says so at once and stays usable, and nothing is moved.
TEST_F(LongRunTest, ARunWhoseThreadCannotStartSaysSoAndStaysUsable) {
    WriteFile(desktop() + QStringLiteral("/a.txt"), "a");
    launch();
    RunThread::setStackSizeForTesting(1); // refused by the system
    QTest::mouseClick(element<QPushButton>("organizeButton"), Qt::LeftButton);
    RunThread::setStackSizeForTesting(0);
    EXPECT_FALSE(delegate.runActive());
    EXPECT_EQ(logMessages().last(),
              QStringLiteral("无法开始整理：系统无法再创建线程，请关闭一些程序后重试"));
    for (const char *name : {"organizeButton", "restoreButton", "chooseButton"}) {
        EXPECT_TRUE(element<QPushButton>(name)->isEnabled()) << name;
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/a.txt")), "a");
    Organize(delegate);
    EXPECT_EQ(ReadFile(target + QStringLiteral("/a.txt")), "a");
}

TEST_F(LongRunTest, QuittingPartWayStopsSoonAndRecordsEveryMove) {
    slowDesktop(100, 50);
    launch();
    QTest::mouseClick(element<QPushButton>("organizeButton"), Qt::LeftButton);
    ASSERT_TRUE(delegate.runActive());
    QElapsedTimer sinceQuit;
    QTimer::singleShot(500, [&sinceQuit] {
        sinceQuit.start();
        QCoreApplication::quit();
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_LT(sinceQuit.elapsed(), 2000);
    EXPECT_FALSE(delegate.runActive());
    const qsizetype moved = visibleTargetNames().size();
    EXPECT_GT(moved, 0);
    EXPECT_LT(moved, 90);
    const ManifestStore saved =
        ManifestStore::parse(ReadFile(supportFolder() + QStringLiteral("/") + ManifestFileName));
    EXPECT_EQ(saved.size(), moved) << "every completed move is recorded";
}

class ChooserTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        chosen = root() + QStringLiteral("/新建文件夹");
        MakeDir(chosen);
        launch();
    }
    QString chosen;
};

TEST_F(ChooserTest, CancelChangesNothing) {
    QSettings().setValue(TargetFolderKey, QStringLiteral("/before"));
    delegate.targetField()->setText(QStringLiteral("/typed"));
    SetFolderPromptForTesting([](QWidget *) { return std::optional<QString>(); });
    const QString log = delegate.logView()->toPlainText();
    delegate.chooseFolder();
    EXPECT_EQ(delegate.targetField()->text(), QStringLiteral("/typed"));
    EXPECT_EQ(QSettings().value(TargetFolderKey).toString(), QStringLiteral("/before"));
    EXPECT_EQ(delegate.logView()->toPlainText(), log);
    EXPECT_FALSE(EntryExists(supportFolder() + QStringLiteral("/restore-manifest.json")));
}

TEST_F(ChooserTest, ConfirmSetsFieldSettingMirrorAndLogs) {
    QWidget *parentSeen = nullptr;
    SetFolderPromptForTesting([this, &parentSeen](QWidget *parent) {
        parentSeen = parent;
        return std::optional<QString>(chosen);
    });
    for (int round = 0; round < 2; ++round) { // the same folder again still saves and logs
        delegate.chooseFolder();
        EXPECT_EQ(delegate.targetField()->text(), chosen);
        EXPECT_EQ(QSettings().value(TargetFolderKey).toString(), chosen);
        EXPECT_EQ(ReadFile(chosen + QStringLiteral("/.desktop-organizer-restore.json")).trimmed(),
                  "[\n]");
        EXPECT_EQ(logMessages().last(), QStringLiteral("已设置指定文件夹：") + chosen);
    }
    EXPECT_EQ(parentSeen, delegate.window());
    EXPECT_EQ(logMessages().size(), 3);

    WriteFile(desktop() + QStringLiteral("/a.txt"), "a");
    delegate.targetField()->clear();
    Organize(delegate);
    EXPECT_EQ(ReadFile(chosen + QStringLiteral("/a.txt")), "a");
}

// Qt's own words are Chinese whatever the machine's language: the folder
// dialog's labels and a text field's menu (accelerators taken off).
TEST(QtTranslations, TheFolderDialogAndATextFieldsMenuSpeakChinese) {
    LoadQtTranslations();
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QLineEdit field;
    const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList texts{menu->actions().constFirst()->text().section(QLatin1Char('\t'), 0, 0)};
    for (const QLabel *label : dialog.findChildren<QLabel *>()) {
        texts.append(label->text());
    }
    for (const QString &text : texts) {
        EXPECT_FALSE(QString(text)
                         .remove(QRegularExpression(QStringLiteral("\\(&.\\)")))
                         .contains(QRegularExpression(QStringLiteral("[A-Za-z]"))))
            << text.toStdString();
    }
}

} // namespace
