#include "app/Identity.h"

#include "app/Constants.h"

#include <QGuiApplication>

void SetApplicationIdentity() {
    QCoreApplication::setApplicationName(AppName);
    QCoreApplication::setOrganizationName(OrganizationName);
    QCoreApplication::setOrganizationDomain(OrganizationDomain);
    QGuiApplication::setDesktopFileName(DesktopFileName);
}
