#include "app/OrganizerAppDelegate.h"
#include "ui/Colors.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

namespace {

QFont SystemFont(double pixelSize, bool bold) {
    QFont font = QApplication::font();
    font.setPixelSize(qRound(pixelSize));
    font.setBold(bold);
    return font;
}

} // namespace

std::unique_ptr<QLabel> OrganizerAppDelegate::label(const QString &text, double fontSize,
                                                    bool bold) const {
    auto label = std::make_unique<QLabel>(text);
    label->setTextFormat(Qt::PlainText); // paths may hold '<' or '&'
    label->setWordWrap(false);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setFont(SystemFont(fontSize, bold));
    colors::SetRoleColor(label.get(), QPalette::WindowText, colors::Label());
    label->setAccessibleName(text);
    return label;
}

std::unique_ptr<QPushButton> OrganizerAppDelegate::button(const QString &title, Action action,
                                                          bool primary) {
    auto button = std::make_unique<QPushButton>(title);
    button->setFont(SystemFont(16, true));
    colors::SetRoleColor(button.get(), QPalette::ButtonText,
                         primary ? colors::SystemBlue() : colors::ControlText());
    // Return presses no button.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setAccessibleName(title);
    QPushButton *sender = button.get();
    connect(sender, &QPushButton::clicked, this,
            [this, action, sender] { (this->*action)(sender); });
    return button;
}
