#pragma once
// How a log line's time of day is written: the locale's short time format with
// seconds added after the minutes (zh_CN "09:41:07", en_US "9:41:07 AM").

#include <QLocale>
#include <QString>
#include <QTime>

QString TimeFormatWithSeconds(const QLocale &locale);
QString TimeText(const QTime &time, const QLocale &locale);
