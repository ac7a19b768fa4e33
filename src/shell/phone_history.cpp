// The phone's record of calls: what the call logic does not know of a call
// (the phone book's name of a dialled address, the call's protection), and
// calling an address back.

#include "phonebook/phone_book_files.h"
#include "shell/phone.h"

namespace voxlet {

std::optional<QString> Phone::PhoneBookName(const QString& address) const
{
    // The fields of each entry ("n Name Address"), read afresh.
    for (const QString& line : files::LoadDialList(options_.dataDir).lines)
        if (line.section(QLatin1Char(' '), 2, 2) == address)
            return line.section(QLatin1Char(' '), 1, 1);
    return std::nullopt;
}

history::Protection Phone::EndingCallProtection(bool) const
{
    // No call is encrypted yet: once the handshake runs in calls, its outcome for this line goes here.
    return history::Protection::Plain;
}

bool Phone::CallBack(const QString& address)
{
    if (exited() || !main.isEnabled(Control::CLIBTN))
        return false;
    main.setComboText(address);
    CLIBTN_Click();
    return true;
}

} // namespace voxlet
