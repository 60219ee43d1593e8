#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "app/SingleInstance.h"
#include "ui/Picture.h"

#include <QApplication>
#include <QMainWindow>
#include <QMetaObject>
#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char *argv[]) {
#ifdef __GLIBC__
    // Blocks up to the size of a large manifest come from the heap, not from
    // mappings of their own: freed (the file's text once parsed), their pages
    // serve the records built next instead of being unmapped and faulted in
    // again one by one.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
#endif
    // The application takes no arguments, the toolkit's own included.
    int toolkitArgc = argc > 0 ? 1 : 0;
    QApplication application(toolkitArgc, argv);
    SetApplicationIdentity();
    QApplication::setWindowIcon(DogIcon());

    OrganizerAppDelegate delegate;
    // One running copy per account: a later launch only brings it forward.
    SingleInstance instance(delegate.supportDir());
    if (instance.start([&delegate] { BringToFront(delegate.window()); }) ==
        SingleInstance::Role::Second) {
        return 0;
    }
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());
    // Queued: runs once, as soon as the event loop is up.
    QMetaObject::invokeMethod(&delegate, &OrganizerAppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    QApplication::exec();
    return 0;
}
