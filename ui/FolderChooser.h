#pragma once
// The folder dialog behind "选择...", with a seam so tests can answer it
// without a modal loop.

#include <QString>
#include <functional>
#include <optional>

class QWidget;

// Shows the dialog; the chosen folder's path, or nothing when cancelled.
using FolderPrompt = std::function<std::optional<QString>(QWidget *parent)>;

// Replaces the dialog (an empty prompt restores the real one).
void SetFolderPromptForTesting(FolderPrompt prompt);
