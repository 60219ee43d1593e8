#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "ui/Colors.h"
#include "ui/Geometry.h"
#include "ui/Picture.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>

namespace {

// The rounded panel behind the target row: light grey (a dark tone on a dark
// palette), a separator-coloured border, corner radius 8. It holds no
// children. Its colours are read as it paints, so they follow the palette.
class TargetPanel : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent * /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(colors::Separator(), 1));
        painter.setBrush(colors::TargetPanelFill());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }
};

// Gives a factory-made or new element its parent and its frame.
template <typename Widget>
Widget *Place(std::unique_ptr<Widget> element, QWidget *content, const QRect &frame,
              const char *name) {
    Widget *placed = element.release();
    placed->setParent(content);
    placed->setGeometry(frame);
    placed->setObjectName(QLatin1String(name));
    return placed;
}

// The header's sentence names the Mac only where it runs on one.
QString HeaderDescription() {
#ifdef Q_OS_MACOS
    return QStringLiteral(
        "整理 Mac 桌面上的文件和文件夹，集中放入指定文件夹，并可按记录一键还原。");
#else
    return QStringLiteral("整理桌面上的文件和文件夹，集中放入指定文件夹，并可按记录一键还原。");
#endif
}

// Which colour each element takes for which palette role. Applied once the
// window is built and again whenever the application's palette changes.
struct RoleColor {
    const char *element;
    QPalette::ColorRole role;
    QColor (*color)();
};
constexpr RoleColor RoleColors[] = {
    {"content", QPalette::Window, colors::WindowBackground},
    {"headerTitle", QPalette::WindowText, colors::Label},
    {"headerDescription", QPalette::WindowText, colors::SecondaryLabel},
    {"desktopLine", QPalette::WindowText, colors::TertiaryLabel},
    {"targetCaption", QPalette::WindowText, colors::Label},
    {"chooseButton", QPalette::ButtonText, colors::ControlText},
    {"organizeButton", QPalette::ButtonText, colors::SystemBlue},
    {"restoreButton", QPalette::ButtonText, colors::ControlText},
    {"summaryField", QPalette::WindowText, colors::SecondaryLabel},
};

void ApplyRoleColors(QWidget *content) {
    for (const RoleColor &entry : RoleColors) {
        QWidget *widget = content->objectName() == QLatin1String(entry.element)
                              ? content
                              : content->findChild<QWidget *>(QLatin1String(entry.element),
                                                              Qt::FindDirectChildrenOnly);
        if (widget != nullptr) {
            colors::SetRoleColor(widget, entry.role, entry.color());
        }
    }
}

// The application hears when its palette changes (the desktop switched
// between light and dark, say); the roles are then applied again.
class PaletteFollower : public QObject {
public:
    explicit PaletteFollower(QWidget *content) : QObject(content), content_(content) {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::ApplicationPaletteChange &&
            watched == QCoreApplication::instance()) {
            // Windows that already exist are not always told; they would keep
            // the old colours for every role not set here.
            QEvent refresh(QEvent::ApplicationPaletteChange);
            QCoreApplication::sendEvent(content_->window(), &refresh);
            ApplyRoleColors(content_);
        }
        return false;
    }

private:
    QWidget *content_;
};

void CenterOnScreen(QWidget *window) {
    const QScreen *screen =
        window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace

void OrganizerAppDelegate::buildWindow() {
    setWindow(new QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                           Qt::WindowMinimizeButtonHint |
                                           Qt::WindowCloseButtonHint));
    QMainWindow *main = window();
    main->setWindowTitle(AppName);
    main->setWindowIcon(DogIcon());
    if (mainMenu_) {
#ifndef Q_OS_MACOS
        main->setMenuBar(mainMenu_.release());
#endif
    }

    auto *content = new QWidget(main);
    content->setObjectName(QStringLiteral("content"));
    content->setFixedSize(ContentWidth, ContentHeight);
    content->setAutoFillBackground(true);
    main->setCentralWidget(content);
    // Not resizable, not maximisable: the window is as large as its content.
    main->layout()->setSizeConstraint(QLayout::SetFixedSize);

    auto picture = std::make_unique<QLabel>();
    picture->setAlignment(Qt::AlignCenter);
    picture->setPixmap(DogPixmap(QSize(86, 86), main->devicePixelRatioF()));
    picture->setAccessibleName(AppName);
    Place(std::move(picture), content, ContentFrame(34, 410, 86, 86), "headerPicture");

    Place(label(AppName, 28, true), content, ContentFrame(136, 458, 360, 38), "headerTitle");

    Place(label(HeaderDescription(), 15, false), content, ContentFrame(138, 428, 560, 24),
          "headerDescription");

    Place(label(QStringLiteral("桌面位置：%1").arg(desktopPath()), 13, false), content,
          ContentFrame(138, 402, 560, 20), "desktopLine");

    Place(std::make_unique<TargetPanel>(), content, ContentFrame(32, 280, 696, 100), "targetPanel");

    Place(label(QStringLiteral("指定文件夹"), 14, true), content, ContentFrame(52, 338, 120, 22),
          "targetCaption");

    auto field = std::make_unique<QLineEdit>(QSettings().value(TargetFolderKey).toString());
    field->setPlaceholderText(QStringLiteral("请选择桌面项目要放入的文件夹"));
    field->setAccessibleName(QStringLiteral("指定文件夹"));
    setTargetField(Place(std::move(field), content, ContentFrame(52, 304, 510, 30), "targetField"));

    Place(button(QStringLiteral("选择..."), &OrganizerAppDelegate::chooseFolder, false), content,
          ContentFrame(574, 302, 120, 34), "chooseButton");
    Place(button(QStringLiteral("一键整理"), &OrganizerAppDelegate::organizeDesktop, true), content,
          ContentFrame(104, 224, 220, 46), "organizeButton");
    Place(button(QStringLiteral("还原"), &OrganizerAppDelegate::restoreFiles, false), content,
          ContentFrame(436, 224, 220, 46), "restoreButton");

    QLabel *summary =
        Place(label(QString(), 13, false), content, ContentFrame(34, 188, 690, 22), "summaryField");
    setSummaryField(summary);

    // The log's scrolling frame and its text are one widget in Qt.
    auto log = std::make_unique<QPlainTextEdit>();
    log->setReadOnly(true);
    log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Selectable from the keyboard, but with no caret: nothing can be typed.
    log->setCursorWidth(0);
    log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(12);
    fixed.setWeight(QFont::Normal);
    log->setFont(fixed);
    log->setAccessibleName(QStringLiteral("活动记录"));
    setLogView(Place(std::move(log), content, ContentFrame(32, 30, 696, 148), "logView"));

    ApplyRoleColors(content);
    new PaletteFollower(content); // owned by content
    updateSummary();

    main->adjustSize();
    CenterOnScreen(main);
    main->show();
    main->activateWindow();
}
