#include "app/Identity.h"

#include "app/Constants.h"

#include <QGuiApplication>
#include <QLibraryInfo>
#include <QTranslator>

void SetApplicationIdentity() {
    QCoreApplication::setApplicationName(AppName);
    QCoreApplication::setOrganizationName(OrganizationName);
    QCoreApplication::setOrganizationDomain(OrganizationDomain);
    QGuiApplication::setDesktopFileName(DesktopFileName);
}

void LoadQtTranslations() {
    auto *translator = new QTranslator(QCoreApplication::instance());
    const QString folders[] = {QCoreApplication::applicationDirPath() +
                                   QStringLiteral("/../Resources/translations"),
                               QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QString &folder : folders) {
        if (translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
            QCoreApplication::installTranslator(translator);
            return;
        }
    }
    delete translator;
}
