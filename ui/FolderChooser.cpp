#include "ui/FolderChooser.h"

#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/LogText.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QSettings>

namespace {

const QString PromptMessage = QStringLiteral("选择桌面项目整理后存放的位置");

FolderPrompt &PromptOverride() {
    static FolderPrompt prompt;
    return prompt;
}

std::optional<QString> AskForFolder(QWidget *parent) {
    if (const FolderPrompt &prompt = PromptOverride()) {
        return prompt(parent);
    }
    // Folders only, one of them; creating a new folder is allowed. The
    // message is the caption: most platforms show no separate message line.
    QFileDialog dialog(parent, PromptMessage);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

} // namespace

void SetFolderPromptForTesting(FolderPrompt prompt) {
    PromptOverride() = std::move(prompt);
}

void OrganizerAppDelegate::chooseFolder(QObject * /*sender*/) {
    const std::optional<QString> chosen = AskForFolder(window());
    if (!chosen) {
        return;
    }
    const QString &path = *chosen;
    // The field first: the save finds the mirror's folder through it.
    if (targetField_) {
        targetField_->setText(path);
    }
    QSettings().setValue(TargetFolderKey, path);
    saveManifest();
    appendLog(QStringLiteral("已设置指定文件夹：%1").arg(VisibleName(path)));
}
