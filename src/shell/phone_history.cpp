// The phone's record of calls: what the call logic does not know of a call
// (the phone book's name of a dialled address, the call's protection, the
// keys it is judged by), and calling an address back.

#include "phonebook/phone_book_files.h"
#include "secure/identity.h"
#include "shell/phone.h"

#include <QStringList>

namespace voxlet {

std::optional<QString> Phone::PhoneBookName(const QString& address) const
{
    // The fields of each entry ("n Name Address"), read afresh.
    for (const QString& line : files::LoadDialList(options_.dataDir).lines)
        if (line.section(QLatin1Char(' '), 2, 2) == address)
            return line.section(QLatin1Char(' '), 1, 1);
    return std::nullopt;
}

history::Protection Phone::EndingCallProtection(bool external) const
{
    // Only the call that talks has a protection; a dial it overtook has none.
    const bool talkingLine = external ? st.ExternalSocket != 0 : st.CallSocket != 0;
    const auto& protection = inCall.protection();
    if (!talkingLine || !protection)
        return history::Protection::Plain;
    switch (protection->state()) {
    case secure::CallProtection::State::Confirmed:
        return history::Protection::Confirmed;
    case secure::CallProtection::State::Unconfirmed:
    case secure::CallProtection::State::KeyChanged:
        return history::Protection::Encrypted;
    default:
        return history::Protection::Plain;
    }
}

void Phone::LoadKeys()
{
    QStringList problems;
    if (options_.hd && options_.encrypt) {
        secure::IdentityFile identity = secure::LoadOrCreateIdentity(options_.stateDir);
        // Never replaced: a new key would have every side this phone talked to warned.
        if (identity.failure)
            problems << QStringLiteral("暗号化の鍵を読めないため、暗号化せずに通話します。\n")
                    + *identity.failure;
        link.UseIdentity(std::move(identity.identity));
    }
    knownKeys = secure::KnownKeys::Load(options_.stateDir);
    if (knownKeys.problem())
        problems << QStringLiteral(
                        "覚えた相手の鍵を読めないため、鍵の変化も暗号化の無い通話も警告できません。\n")
                + *knownKeys.problem();
    for (const QString& problem : problems) {
        qWarning("%s", qPrintable(problem));
        boxes.show(problem, MessageIcon::Exclamation, kAppTitle);
    }
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
