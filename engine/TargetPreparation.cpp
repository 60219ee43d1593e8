#include "engine/TargetPreparation.h"

#include "engine/FileSystem.h"

#include <QFile>
#include <sys/stat.h>

bool PrepareTargetFolder(const QString &path, Error *error) {
    if (path.isEmpty()) {
        SetError(error, Error{AppName, NoTargetChosen, QStringLiteral("请先选择指定文件夹。")});
        return false;
    }
    struct stat st {};
    if (::stat(NameBytes(path).constData(), &st) != 0) {
        return CreateDirectories(path, error);
    }
    if (S_ISDIR(st.st_mode)) {
        return true;
    }
    SetError(error, Error{AppName, TargetNotAFolder, QStringLiteral("指定路径不是文件夹。")});
    return false;
}
