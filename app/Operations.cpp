#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "app/RunThread.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/ManifestSaver.h"
#include "engine/PathRules.h"
#include "engine/Runs.h"
#include "engine/TargetPreparation.h"

#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QPushButton>
#include <QSettings>
#include <memory>

namespace {

// A copy shorter than this is not worth a line of its own.
constexpr qint64 ShowCopyAfterMs = 500;

} // namespace

bool OrganizerAppDelegate::prepareTarget(const QString &path, Error *error) const {
    return PrepareTargetFolder(path, error);
}

void OrganizerAppDelegate::organizeDesktop(QObject * /*sender*/) {
    if (runActive() || refusedWhileUnreadable()) {
        return;
    }
    const QString target = ResolveTargetPath(currentTargetPath());
    Error error;
    if (!prepareTarget(target, &error)) {
        appendLog(error.description);
        return;
    }
    {
        // Written (and flushed, as the settings go out of scope) before the
        // Desktop is read. An unchanged value is not written again: every
        // write rewrites the settings file under its lock. A write that
        // fails (a full disk) changes nothing else.
        QSettings settings;
        if (settings.value(TargetFolderKey) != QVariant(target)) {
            settings.setValue(TargetFolderKey, target);
        }
    }
    OrganizeRequest request{StandardizePath(desktopPath()), target, JournalPathFor(manifestPath()),
                            nullptr};
    // The records are saved as the run makes them, with those there were.
    struct Result {
        OrganizeOutcome run;
        bool saved = false;
        Error saveError;
        bool mirrorCleared = false;
    };
    auto result = std::make_shared<Result>();
    const QString mirrorFile = mirrorPath();
    const bool checkMirror = !mirrorFile.isEmpty() && mirrorFile != checkedMirror_;
    startRun(
        RunKind::Organize,
        [request, result, before = manifest_, manifestFile = manifestPath(), mirrorFile,
         checkMirror](const RunSink &sink, const std::atomic<bool> *stop) mutable {
            request.stop = stop;
            QString mirror = mirrorFile;
            if (checkMirror) {
                QString message;
                result->mirrorCleared = clearMirrorFor(mirror, before, &message);
                if (!message.isEmpty() && sink.message) {
                    sink.message(message);
                }
                if (!result->mirrorCleared) {
                    mirror.clear();
                }
            }
            ManifestSaver saver(manifestFile, mirror, before);
            RunSink saving = sink;
            saving.recorded = [&saver](const ManifestStore &records) {
                saver.add(records);
            };
            result->run = RunOrganize(request, saving);
            if (result->run.listed) {
                result->saved = saver.commit(&result->saveError);
            }
        },
        [this, result, mirrorFile] {
            if (result->mirrorCleared) {
                checkedMirror_ = mirrorFile;
            }
            const OrganizeOutcome &run = result->run;
            if (!run.listed) {
                appendLog(QStringLiteral("读取桌面失败：%1").arg(run.listError.description));
                updateSummary();
                return;
            }
            manifest_.append(std::move(result->run.records));
            manifestSaved(result->saved, result->saveError);
            appendLog(QStringLiteral("整理完成：移动 %1 个项目，跳过 %2 个项目。")
                          .arg(run.moved)
                          .arg(run.skipped));
        });
}

void OrganizerAppDelegate::restoreFiles(QObject * /*sender*/) {
    if (runActive() || refusedWhileUnreadable()) {
        return;
    }
    if (manifest_.isEmpty()) {
        appendLog(QStringLiteral("没有找到可还原记录。"));
        return;
    }
    RestoreRequest request{manifest_, JournalPathFor(manifestPath()), nullptr};
    struct Result {
        RestoreOutcome run;
        bool mirrorCleared = false;
    };
    auto result = std::make_shared<Result>();
    // The mirror is checked against the records as they stand before the
    // run: those it brings back are not news to the mirror.
    const QString mirrorFile = mirrorPath();
    const bool checkMirror = !mirrorFile.isEmpty() && mirrorFile != checkedMirror_;
    startRun(
        RunKind::Restore,
        [request, result, mirrorFile, checkMirror](const RunSink &sink,
                                                   const std::atomic<bool> *stop) mutable {
            request.stop = stop;
            if (checkMirror) {
                QString message;
                result->mirrorCleared = clearMirrorFor(mirrorFile, request.records, &message);
                if (!message.isEmpty() && sink.message) {
                    sink.message(message);
                }
            }
            result->run = RunRestore(request, sink);
        },
        [this, result, mirrorFile] {
            if (result->mirrorCleared) {
                checkedMirror_ = mirrorFile;
            }
            const RestoreOutcome &run = result->run;
            setManifest(std::move(result->run.retained));
            saveManifest();
            appendLog(QStringLiteral("还原完成：还原 %1 个项目，跳过 %2 个项目。")
                          .arg(run.restored)
                          .arg(run.skipped));
        });
}

bool OrganizerAppDelegate::runActive() const {
    return run_ != nullptr;
}

void OrganizerAppDelegate::startRun(
    RunKind kind, std::function<void(const RunSink &, const std::atomic<bool> *)> job,
    std::function<void()> apply) {
    runKind_ = kind;
    applyRun_ = std::move(apply);
    copyingName_.clear();
    run_ = std::make_unique<RunThread>(std::move(job));
    // Both queued: they are sent from the run's thread.
    connect(run_.get(), &RunThread::updated, this, &OrganizerAppDelegate::showRunUpdates);
    connect(run_.get(), &QThread::finished, this, [this] { finishRun(); });
    // Started first: the first busy cursor of a session takes the display
    // a millisecond or more to make, and the run need not wait for it. Its
    // end is handled on this thread, after this returns.
    if (!run_->begin()) {
        // Nothing ran, so there is nothing to apply: the window stays usable.
        run_.reset();
        applyRun_ = {};
        appendLog(
            QStringLiteral("无法开始%1：系统无法再创建线程，请关闭一些程序后重试")
                .arg(kind == RunKind::Organize ? QStringLiteral("整理") : QStringLiteral("还原")));
        return;
    }
    setControlsEnabled(false);
    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
}

void OrganizerAppDelegate::finishRun(bool stop) {
    if (!run_) {
        return;
    }
    if (stop) {
        run_->requestStop();
    }
    run_->join();
    // Nothing is queued for this run any more once it is gone.
    const std::unique_ptr<RunThread> run = std::move(run_);
    for (const QString &message : run->takeMessages()) {
        appendLog(message);
    }
    QGuiApplication::restoreOverrideCursor();
    setControlsEnabled(true);
    // Saves, restores the summary's usual text and writes the closing line.
    std::exchange(applyRun_, {})();
}

void OrganizerAppDelegate::showRunUpdates() {
    if (!run_) {
        return;
    }
    for (const QString &message : run_->takeMessages()) {
        appendLog(message);
    }
    if (!summaryField_) {
        return;
    }
    const RunProgress progress = run_->progress();
    const bool organizing = runKind_ == RunKind::Organize;
    QString text = (organizing ? QStringLiteral("正在整理：已处理 %1 / %2 个项目")
                               : QStringLiteral("正在还原：已处理 %1 / %2 条记录"))
                       .arg(progress.done)
                       .arg(progress.total);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (progress.copying != copyingName_) {
        copyingName_ = progress.copying;
        copyingSinceMs_ = now;
    }
    if (!copyingName_.isEmpty() && now - copyingSinceMs_ >= ShowCopyAfterMs) {
        const QLocale locale;
        text += QStringLiteral("，正在复制“%1”（%2 / %3）")
                    .arg(VisibleName(copyingName_), locale.formattedDataSize(progress.copiedBytes),
                         locale.formattedDataSize(progress.totalBytes));
    }
    summaryField_->setText(text);
    summaryField_->setAccessibleName(text);
}

void OrganizerAppDelegate::setControlsEnabled(bool enabled) {
    if (targetField_) {
        targetField_->setReadOnly(!enabled);
    }
    QMainWindow *main = window();
    if (main == nullptr) {
        return;
    }
    for (const char *name : {"chooseButton", "organizeButton", "restoreButton"}) {
        if (auto *control = main->findChild<QPushButton *>(QLatin1String(name))) {
            control->setEnabled(enabled);
        }
    }
    // Disabling the button that started the run sent the focus on to the
    // log; it goes back, unless the user put it in the field meanwhile.
    auto *started = main->findChild<QPushButton *>(runKind_ == RunKind::Organize
                                                       ? QStringLiteral("organizeButton")
                                                       : QStringLiteral("restoreButton"));
    if (enabled && started != nullptr && !(targetField_ && targetField_->hasFocus())) {
        started->setFocus(Qt::OtherFocusReason);
    }
}
