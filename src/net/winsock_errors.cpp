#include "net/winsock_errors.h"

#include <cerrno>
#include <cstddef>
#include <utility>

namespace voxlet {

namespace {

const std::pair<int, const char*> kTexts[] = {
    { 10004, "呼び出しが取り消された。" },
    { 10013, "指定されたアドレスは、ブロードキャストパケットの送信をサポートしていない。" },
    { 10014, "32ビットインターネットアドレス指定に誤りがあります。" },
    { 10022, "関数の呼び出し順番に誤りがある。" },
    { 10024, "利用可能なファイル番号が存在しない。" },
    { 10035, "このソケットはノンブロッキング型である。" },
    { 10036, "ブロッキング呼び出し進行中。" },
    { 10037, "ノンブロッキング型の処理を処理中。" },
    { 10038, "ソケット以外を指定した。" },
    { 10039, "リモートアドレスが指定されていない。" },
    { 10040, "データがバッファより大きいので切りつめられた。" },
    { 10041, "ソケットは指定されたプロトコルをサポートしていない。" },
    { 10042, "プロトコルのオプションに誤りがある。" },
    { 10043, "指定されたプロトコルはサポートされていない。" },
    { 10044, "指定されたソケットタイプはサポートされていない。" },
    { 10045, "指定されたソケットがサポートしていない操作である。" },
    { 10046, "指定されたアドレスファミリがサポートされていない。" },
    { 10047, "指定されたプロトコルでは、指定されたアドレスファミリがサポートされていない。" },
    { 10048, "指定されたアドレスは使用中。" },
    { 10049, "指定されたアドレスは使用できない。" },
    { 10050, "ネットワークがダウンしている。" },
    { 10051, "リモートホストのネットワークに接続できない。" },
    { 10052, "ネットワークから切断された。" },
    { 10053, "ネットワーク不良で接続が中止された。" },
    { 10054, "リモートホストから切断された。" },
    { 10055, "バッファ領域不足。" },
    { 10056, "ソケットはすでに接続されている。" },
    { 10057, "ソケットが接続されていない。" },
    { 10058, "ソケットがシャットダウンされている。" },
    { 10060, "接続処理タイムアウト。" },
    { 10061, "接続が拒否された。" },
    { 10064, "リモートホストがダウンしている。" },
    { 10065, "ホストへのルートが存在しない。" },
    { 10067, "プロセスが多すぎます。" },
    { 10091, "ネットワークサブシステムに通信するための準備ができていない。" },
    { 10092, "指定されたバージョンがサポートされていない。" },
    { 10093, "WSAStartup関数を呼び出していないか、失敗しています。" },
    { 11001, "ホストが見つからない。" },
    { 11002, "権限があるホストが見つからない。" },
    { 11003, "修復不可能なエラーが発生した。" },
    { 11004, "データレコードの型が要求されていない。" },
};

const std::pair<int, int> kFromErrno[] = {
    { EINTR, wsa::EINTR_ },
    { EACCES, wsa::EACCES_ },
    { EPERM, wsa::EACCES_ },
    { EFAULT, wsa::EFAULT_ },
    { EINVAL, wsa::EINVAL_ },
    { EMFILE, wsa::EMFILE_ },
    { ENFILE, wsa::EMFILE_ },
    { EAGAIN, wsa::EWOULDBLOCK_ },
    { EINPROGRESS, wsa::EWOULDBLOCK_ }, // a pending connect, as Winsock reports it
    { EALREADY, wsa::EALREADY_ },
    { ENOTSOCK, wsa::ENOTSOCK_ },
    { EBADF, wsa::ENOTSOCK_ },
    { EDESTADDRREQ, wsa::EDESTADDRREQ_ },
    { EMSGSIZE, wsa::EMSGSIZE_ },
    { EPROTOTYPE, wsa::EPROTOTYPE_ },
    { ENOPROTOOPT, wsa::ENOPROTOOPT_ },
    { EPROTONOSUPPORT, wsa::EPROTONOSUPPORT_ },
    { ESOCKTNOSUPPORT, wsa::ESOCKTNOSUPPORT_ },
    { EOPNOTSUPP, wsa::EOPNOTSUPP_ },
    { EPFNOSUPPORT, wsa::EPFNOSUPPORT_ },
    { EAFNOSUPPORT, wsa::EAFNOSUPPORT_ },
    { EADDRINUSE, wsa::EADDRINUSE_ },
    { EADDRNOTAVAIL, wsa::EADDRNOTAVAIL_ },
    { ENETDOWN, wsa::ENETDOWN_ },
    { ENETUNREACH, wsa::ENETUNREACH_ },
    { ENETRESET, wsa::ENETRESET_ },
    { ECONNABORTED, wsa::ECONNABORTED_ },
    { ECONNRESET, wsa::ECONNRESET_ },
    { EPIPE, wsa::ECONNRESET_ },
    { ENOBUFS, wsa::ENOBUFS_ },
    { ENOMEM, wsa::ENOBUFS_ },
    { EISCONN, wsa::EISCONN_ },
    { ENOTCONN, wsa::ENOTCONN_ },
    { ESHUTDOWN, wsa::ESHUTDOWN_ },
    { ETIMEDOUT, wsa::ETIMEDOUT_ },
    { ECONNREFUSED, wsa::ECONNREFUSED_ },
    { EHOSTDOWN, wsa::EHOSTDOWN_ },
    { EHOSTUNREACH, wsa::EHOSTUNREACH_ },
};

template <class Value, std::size_t N> const Value* Find(const std::pair<int, Value> (&table)[N], int key)
{
    for (const auto& [k, value] : table)
        if (k == key)
            return &value;
    return nullptr;
}

} // namespace

QString WinsockErrorText(int code)
{
    const char* const* text = Find(kTexts, code);
    return text ? QString::fromUtf8(*text) : QStringLiteral("(%1)").arg(code);
}

int WinsockCodeFromErrno(int e)
{
    const int* code = Find(kFromErrno, e);
    return code ? *code : e;
}

} // namespace voxlet
