#include "engine/Error.h"

#include <cerrno>
#include <cstring>

QString DescribeErrno(int errnum) {
    switch (errnum) {
    case EEXIST:
    case ENOTEMPTY:
        return QStringLiteral("已存在同名项目");
    case EACCES:
    case EPERM:
        return QStringLiteral("没有权限");
    case ENOENT:
        return QStringLiteral("项目不存在");
    case ENAMETOOLONG:
        return QStringLiteral("文件名过长");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("磁盘空间不足");
    case ENOTDIR:
        return QStringLiteral("路径中有一项不是文件夹");
    case EISDIR:
        return QStringLiteral("目标是一个文件夹");
    case EROFS:
        return QStringLiteral("磁盘是只读的");
    case EBUSY:
    case ETXTBSY:
        return QStringLiteral("项目正在使用中");
    case EINVAL:
        return QStringLiteral("无效的操作（例如把文件夹移入它自身）");
    case ELOOP:
        return QStringLiteral("符号链接层级过多");
    case EIO:
        return QStringLiteral("磁盘读写错误");
    case EXDEV:
        return QStringLiteral("无法跨磁盘移动");
    case EFBIG:
        return QStringLiteral("文件过大");
    case ENOMEM:
        return QStringLiteral("内存不足");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("打开的文件过多");
    case EMLINK:
        return QStringLiteral("链接数过多");
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    // Apple's systems keep the two apart, and their rename, link and copy
    // calls report ENOTSUP.
    case ENOTSUP:
#endif
        return QStringLiteral("文件系统不支持此操作");
    case ECANCELED:
        return QStringLiteral("操作已取消");
    default:
        break;
    }
    const char *text = std::strerror(errnum);
    QString fallback = text != nullptr ? QString::fromLocal8Bit(text) : QString();
    if (fallback.isEmpty()) {
        fallback = QStringLiteral("未知错误（%1）").arg(errnum);
    }
    return fallback;
}

Error PosixError(int errnum) {
    return Error{PosixErrorDomain, errnum, DescribeErrno(errnum)};
}
