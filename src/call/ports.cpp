#include "call/ports.h"

namespace voxlet {

QString ControlName(Control c)
{
    switch (c) {
    case Control::Text1:
        return QStringLiteral("Text1");
    case Control::Command3:
        return QStringLiteral("Command3");
    case Control::CLIBTN:
        return QStringLiteral("CLIBTN");
    case Control::Combo1:
        return QStringLiteral("Combo1");
    case Control::Command1:
        return QStringLiteral("Command1");
    case Control::mnu_SERVER:
        return QStringLiteral("mnu_SERVER");
    case Control::mnu_Tray:
        return QStringLiteral("mnu_Tray");
    case Control::mnu_SET:
        return QStringLiteral("mnu_SET");
    case Control::mnu_W:
        return QStringLiteral("mnu_W");
    case Control::mnu_Hyouji:
        return QStringLiteral("mnu_Hyouji");
    case Control::mnu_Searh:
        return QStringLiteral("mnu_Searh");
    case Control::mnu_Ver:
        return QStringLiteral("mnu_Ver");
    case Control::mnu_KILLTIMER:
        return QStringLiteral("mnu_KILLTIMER");
    case Control::mun_MENU:
        return QStringLiteral("mun_MENU");
    case Control::mnu_Disp:
        return QStringLiteral("mnu_Disp");
    case Control::nmu_BAR:
        return QStringLiteral("nmu_BAR");
    case Control::mnu_END:
        return QStringLiteral("mnu_END");
    case Control::mnu_Mute:
        return QStringLiteral("mnu_Mute");
    case Control::mnu_History:
        return QStringLiteral("mnu_History");
    case Control::mnu_Confirm:
        return QStringLiteral("mnu_Confirm");
    case Control::mnu_Accept:
        return QStringLiteral("mnu_Accept");
    }
    return {};
}

} // namespace voxlet
