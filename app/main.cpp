#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "app/SingleInstance.h"
#include "engine/Error.h"
#include "ui/Picture.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <optional>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Exit status for a command line the program does not take.
constexpr int UsageError = 2;

void Print(std::FILE *stream, const QString &text) {
    std::fputs(text.toUtf8().constData(), stream);
}

// The argument as it was typed that made the parse fail or that names an
// unknown option; before "--" only, as the parser reads it.
QString TypedArgument(const QStringList &arguments, const QString &unknownName) {
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QStringLiteral("--")) {
            break;
        }
        if (!argument.startsWith(QLatin1Char('-'))) {
            continue;
        }
        const QString name = argument.mid(argument.startsWith(QStringLiteral("--")) ? 2 : 1)
                                 .section(QLatin1Char('='), 0, 0);
        if (unknownName.isEmpty() ? argument.contains(QLatin1Char('=')) : name == unknownName) {
            return argument;
        }
    }
    return QStringLiteral("--") + unknownName;
}

// Answers --help and --version and refuses anything else, before the
// application object, the single-copy guard or any file is touched: none of
// them opens or raises a window. Nothing when there are no arguments: the
// window opens. The toolkit's own options are not taken either, so they
// never reach it.
std::optional<int> AnswerCommandLine(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
#ifdef Q_OS_MACOS
        // The process serial number that Finder, and LaunchServices on some
        // systems, add to a launch: not the user's, so not refused.
        if (i > 0 && arguments.constLast().startsWith(QStringLiteral("-psn_"))) {
            arguments.removeLast();
        }
#endif
    }
    if (arguments.size() <= 1) {
        return std::nullopt;
    }
    const QString program = QFileInfo(arguments.constFirst()).fileName();
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("显示本帮助并退出"));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("显示程序名称和版本并退出"));
    QCommandLineParser parser;
    // "-platform" is one unknown option, not seven unknown letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version});

    QString mistake;
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        mistake = unknown.isEmpty()
                      ? QStringLiteral("选项“%1”不接受值").arg(TypedArgument(arguments, {}))
                      : QStringLiteral("未知的选项“%1”")
                            .arg(TypedArgument(arguments, unknown.constFirst()));
    } else if (!parser.positionalArguments().isEmpty()) {
        mistake = QStringLiteral("不接受参数“%1”").arg(parser.positionalArguments().constFirst());
    }
    if (!mistake.isEmpty()) {
        Print(stderr,
              QStringLiteral("%1：%2，用 %1 --help 查看可用的选项。\n").arg(program, mistake));
        return UsageError;
    }
    if (parser.isSet(help)) {
        QString text = QStringLiteral("用法：%1 [选项]\n\n"
                                      "打开 %2 的窗口：“一键整理”把桌面上的项目移入指定的文件夹，"
                                      "“还原”把它们移回原处。\n\n选项：\n")
                           .arg(program, AppName);
        for (const QCommandLineOption *option : {&help, &version}) {
            const QString names =
                QStringLiteral("-%1, --%2")
                    .arg(option->names().constFirst(), option->names().constLast());
            text += QStringLiteral("  %1  %2\n").arg(names, -13).arg(option->description());
        }
        Print(stdout, text);
    } else if (parser.isSet(version)) {
        Print(stdout, QStringLiteral("%1 %2\n").arg(AppName, QStringLiteral(KESTRUE_VERSION)));
    }
    return 0;
}

// Stands in for Qt's messages while the application object is made: where
// no graphical session can be reached, Qt ends the process with an English
// message and an abort; one line of ours says why instead, with status 1.
// Qt's warnings of those moments go with it.
void WithoutAGraphicalSession(QtMsgType type, const QMessageLogContext & /*context*/,
                              const QString & /*message*/) {
    if (type == QtFatalMsg) {
        Print(stderr, QStringLiteral("%1：没有找到图形会话，无法打开窗口。\n").arg(AppName));
        std::_Exit(1);
    }
}

} // namespace

int main(int argc, char *argv[]) {
#ifdef __GLIBC__
    // Blocks up to the size of a large manifest come from the heap, not from
    // mappings of their own: freed (the file's text once parsed), their pages
    // serve the records built next instead of being unmapped and faulted in
    // again one by one.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
#endif
    if (const std::optional<int> answered = AnswerCommandLine(argc, argv)) {
        return *answered;
    }
    // Only a launch without arguments gets here; the toolkit sees none.
    int toolkitArgc = argc > 0 ? 1 : 0;
    const QtMessageHandler messages = qInstallMessageHandler(WithoutAGraphicalSession);
    QApplication application(toolkitArgc, argv);
    qInstallMessageHandler(messages);
    SetApplicationIdentity();
    LoadQtTranslations();
    QApplication::setWindowIcon(DogIcon());

    OrganizerAppDelegate delegate;
    // One running copy per account: a later launch only brings it forward,
    // or waits for one that is quitting.
    SingleInstance instance(delegate.supportDir());
    switch (instance.start([&delegate] { BringToFront(delegate.window()); })) {
    case SingleInstance::Role::Second:
        return 0;
    case SingleInstance::Role::Quitting:
        QMessageBox::information(
            nullptr, AppName,
            QStringLiteral("上一次打开的 %1 仍在结束它的整理，请稍后再打开。").arg(AppName));
        return 1;
    default:
        break;
    }
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());
    // Queued: runs once, as soon as the event loop is up.
    QMetaObject::invokeMethod(&delegate, &OrganizerAppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    QApplication::exec();
    return 0;
}
