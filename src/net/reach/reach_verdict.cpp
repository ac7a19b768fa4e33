#include "net/reach/reach_verdict.h"

#include <arpa/inet.h>

namespace voxlet::reach {

AddressKind ClassifyIPv4(const QString& dotted)
{
    in_addr a {};
    if (dotted.isEmpty() || inet_pton(AF_INET, dotted.toLatin1().constData(), &a) != 1)
        return AddressKind::Invalid;
    const std::uint32_t v = ntohl(a.s_addr);
    const auto in = [v](std::uint32_t net, int bits) { return (v >> (32 - bits)) == (net >> (32 - bits)); };
    if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16))
        return AddressKind::Private;
    if (in(0x64400000, 10))
        return AddressKind::Shared;
    if (in(0x7F000000, 8))
        return AddressKind::Loopback;
    if (in(0xA9FE0000, 16))
        return AddressKind::LinkLocal;
    if (in(0x00000000, 8) || v >= 0xE0000000)
        return AddressKind::Invalid; // "this network", multicast, reserved
    return AddressKind::Global;
}

QString CanonicalIPv4(const QString& text)
{
    in_addr a {};
    char dotted[INET_ADDRSTRLEN] = "";
    if (text.size() > 15 || inet_pton(AF_INET, text.toLatin1().constData(), &a) != 1
        || !inet_ntop(AF_INET, &a, dotted, sizeof dotted))
        return {};
    return QString::fromLatin1(dotted);
}

namespace {

using Answer = DirectoryCheck::Answer;
using Status = MappingState::Status;

ReachOutcome Says(bool reachable, const QString& notice, const QString& status)
{
    ReachOutcome o;
    o.reachable = reachable;
    o.notice = notice;
    o.status = status;
    return o;
}

ReachOutcome Cannot(const QString& why, const QString& tryThis, const QString& shortly)
{
    return Says(false, QStringLiteral("外部から着信できません: ") + why + tryThis,
        QStringLiteral("外部から着信できません (") + shortly + QLatin1Char(')'));
}

QString WithPort(const QString& address, std::uint16_t port)
{
    return address + QLatin1Char(':') + QString::number(port);
}

} // namespace

namespace {
ReachOutcome JudgeIPv4(const ReachFacts& f);
}

ReachOutcome Judge(const ReachFacts& f)
{
    ReachOutcome o = JudgeIPv4(f);
    o.ipv6Address = f.ipv6Address;
    if (f.mapping.status == MappingState::Status::Mapped)
        o.mappedAddress = f.mapping.client;
    // The directory speaks IPv4 only: the IPv6 way in is the router's word.
    if (!f.mapping.pinhole.isEmpty() && !f.ipv6Address.isEmpty()) {
        const QString to = WithPort(QLatin1Char('[') + f.ipv6Address + QLatin1Char(']'), f.port);
        o.notice += QStringLiteral(" IPv6 では、ルーターのファイアウォールに ") + to
            + QStringLiteral(" への穴を開けました。");
        o.status += QStringLiteral("、IPv6 ") + to;
    }
    return o;
}

namespace {
ReachOutcome JudgeIPv4(const ReachFacts& f)
{
    const MappingState& m = f.mapping;
    const DirectoryCheck& c = f.check;
    const QString port = QString::number(f.port);
    const QString here = QStringLiteral("このパソコン (") + f.listenAddress + QLatin1Char(')');
    const QString& outside = m.externalAddress;
    const QString& seen = c.observed;
    // A directory at home (or behind the same NAT) dials a private address:
    // that it got through says nothing of callers outside.
    const bool nearby = c.answer == Answer::Reached && ClassifyIPv4(seen) != AddressKind::Global;

    if (c.answer == Answer::Reached && c.probeSeen && !nearby) {
        const QString text
            = QStringLiteral("外部から着信できます (") + WithPort(seen, f.port) + QLatin1Char(')');
        return Says(true, text, text);
    }
    if (c.answer == Answer::Reached && !nearby) {
        return Cannot(QStringLiteral("グローバルIP ") + seen + QStringLiteral(" の TCP ") + port
                + QStringLiteral(" には、このパソコンではない機器が応答しています。"),
            QStringLiteral("ルーターの転送先を") + here + QStringLiteral("に直してください。"),
            QStringLiteral("ポート ") + port + QStringLiteral(" はほかの機器へ"));
    }
    for (const QString& a : { outside, seen }) {
        if (ClassifyIPv4(a) == AddressKind::Shared)
            return Cannot(QStringLiteral("ルーターの外側のアドレス ") + a
                    + QStringLiteral(" は共有アドレスです (プロバイダーのキャリアグレード NAT)。"),
                QStringLiteral("プロバイダーにグローバル IPv4 アドレスを申し込んでください。"),
                QStringLiteral("共有アドレス"));
    }
    if (ClassifyIPv4(outside) == AddressKind::Private)
        return Cannot(QStringLiteral("ルーターの外側のアドレス ") + outside
                + QStringLiteral(" はプライベートアドレスです (ルーターの外にもう一台ルーターがあります)。"),
            QStringLiteral("外側のルーターで TCP ") + port + QStringLiteral(" を ") + outside
                + QStringLiteral(" に転送してください。"),
            QStringLiteral("二重ルーター"));
    if (!outside.isEmpty() && !seen.isEmpty() && outside != seen
        && ClassifyIPv4(outside) == AddressKind::Global && ClassifyIPv4(seen) == AddressKind::Global)
        return Cannot(QStringLiteral("ルーターの外側のアドレス (") + outside
                + QStringLiteral(") とサーバーから見えるアドレス (") + seen
                + QStringLiteral(") が違います (ルーターの外にもう一つ NAT があります)。"),
            QStringLiteral("外側の NAT で TCP ") + port + QStringLiteral(" を ") + outside
                + QStringLiteral(" に転送してください。"),
            QStringLiteral("二重 NAT"));
    if (m.status == Status::Conflict)
        return Cannot(QStringLiteral("ルーターの TCP ") + port + QStringLiteral(" はほかの機器")
                + (m.holder.isEmpty() ? QString() : QStringLiteral(" (") + m.holder + QLatin1Char(')'))
                + QStringLiteral("が使っています。"),
            QStringLiteral("その機器の転送をルーターの設定で消してから、Voxlet を起動し直してください。"),
            QStringLiteral("ポート ") + port + QStringLiteral(" は使用中"));

    const bool failedProbe = c.answer == Answer::Refused || c.answer == Answer::TimedOut;
    const QString whereToTry = c.answer == Answer::NotAsked
        ? QStringLiteral("外から届くか確かめるには、設定でコネクションサーバーのアドレスを入れてください。")
        : nearby
        ? QStringLiteral("コネクションサーバーが同じネットワークの中にあり (このパソコンは ") + seen
            + QStringLiteral(" に見えています)、外から届くかは確かめられませんでした。")
        : QStringLiteral("コネクションサーバーが確認に応じないため、外から届くかは確かめられませんでした。");
    if (m.status == Status::Mapped) {
        const QString opened = QStringLiteral("ルーターで TCP ") + port + QStringLiteral(" を開きました")
            + (outside.isEmpty() && seen.isEmpty() ? QString()
                                                   : QStringLiteral(" (")
                        + WithPort(outside.isEmpty() ? seen : outside, f.port) + QLatin1Char(')'));
        if (failedProbe)
            return Cannot(opened + QStringLiteral("が、外からの接続が届きません。"),
                QStringLiteral("このパソコンのファイアウォールで TCP ") + port
                    + QStringLiteral(" の着信を許可してください。"),
                QStringLiteral("届きません"));
        return Says(false, opened + QStringLiteral("。") + whereToTry, opened + QStringLiteral(" (未確認)"));
    }

    if (ClassifyIPv4(f.listenAddress) == AddressKind::Global) {
        if (failedProbe)
            return Cannot(here + QStringLiteral("に外からの接続が届きません。"),
                QStringLiteral("ファイアウォールで TCP ") + port
                    + QStringLiteral(" の着信を許可してください。"),
                QStringLiteral("届きません"));
        const QString own = QStringLiteral("このパソコンはグローバルIP (") + f.listenAddress
            + QStringLiteral(") を持っています");
        return Says(false, own + QStringLiteral("。") + whereToTry, own + QStringLiteral(" (未確認)"));
    }
    const QString why = m.status == Status::Off
        ? QStringLiteral("ポートの割り当てを止めています (VOXLET_PORT_MAPPING=off)。")
        : m.status == Status::Failed
        ? QStringLiteral("ルーター (") + m.method + QStringLiteral(") がポートの割り当てを断りました。")
        : QStringLiteral("ルーターがポートの割り当て (UPnP, NAT-PMP) に応じません。");
    const QString tryThis = m.status == Status::NoRouter
        ? QStringLiteral("ルーターの設定で UPnP を有効にするか、TCP ") + port + QStringLiteral(" を") + here
            + QStringLiteral("に転送してください。")
        : QStringLiteral("ルーターで TCP ") + port + QStringLiteral(" を") + here
            + QStringLiteral("に転送してください。");
    if (failedProbe)
        return Cannot(why, tryThis,
            m.status == Status::Off ? QStringLiteral("ポート割り当てなし")
                                    : QStringLiteral("ルーターが応じません"));
    // Forwarded by hand, perhaps: nothing could say either way.
    return Says(false,
        QStringLiteral("外部から着信できないかもしれません: ") + why + tryThis
            + (nearby ? whereToTry : QString()),
        QStringLiteral("外部から着信できないかもしれません"));
}
} // namespace

} // namespace voxlet::reach
