#include "ui/LogAndSummary.h"

#include "app/OrganizerAppDelegate.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

QString TimeFormatWithSeconds(const QLocale &locale) {
    QString format = locale.timeFormat(QLocale::ShortFormat);
    bool quoted = false;
    bool hasSeconds = false;
    qsizetype minutesEnd = -1;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char('s')) {
            hasSeconds = true;
        } else if (!quoted && c == QLatin1Char('m')) {
            minutesEnd = i + 1;
        }
    }
    if (hasSeconds || minutesEnd < 0) {
        return format;
    }
    // Reuse whatever separates hours from minutes ("." in some locales).
    qsizetype minutesStart = minutesEnd - 1;
    while (minutesStart > 0 && format.at(minutesStart - 1) == QLatin1Char('m')) {
        --minutesStart;
    }
    QChar separator = QLatin1Char(':');
    if (minutesStart > 0 && !format.at(minutesStart - 1).isLetter() &&
        format.at(minutesStart - 1) != QLatin1Char('\'')) {
        separator = format.at(minutesStart - 1);
    }
    format.insert(minutesEnd, separator + QStringLiteral("ss"));
    return format;
}

QString TimeText(const QTime &time, const QLocale &locale) {
    return locale.toString(time, TimeFormatWithSeconds(locale));
}

void OrganizerAppDelegate::updateSummary() {
    if (!summaryField_) {
        return;
    }
    const auto count = static_cast<qulonglong>(manifest_.size());
    const QString text =
        QStringLiteral("完成情况：已记录 %1 个可还原项目。隐藏项目和目标文件夹默认跳过。")
            .arg(count);
    summaryField_->setText(text);
    // Screen readers read a label's name, not its text: keep them in step.
    summaryField_->setAccessibleName(text);
}

void OrganizerAppDelegate::appendLog(const QString &message) {
    if (!logView_) {
        return;
    }
    const QString line =
        QStringLiteral("[%1] %2\n").arg(TimeText(QTime::currentTime(), QLocale::system()), message);
    QTextCursor cursor(logView_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line);
    logView_->verticalScrollBar()->setValue(logView_->verticalScrollBar()->maximum());
}
