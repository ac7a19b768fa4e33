#pragma once

#include "call/ports.h"

class QWidget;

namespace voxlet {

// Real message boxes: modal, with an OK button.
class QtMessageBox : public MessageBoxPort {
public:
    void show(const QString& text, MessageIcon icon, const QString& title) override;
};

} // namespace voxlet
