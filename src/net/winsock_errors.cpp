#include "net/winsock_errors.h"

#include <cerrno>

namespace voxlet {

QString WinsockErrorText(int code)
{
    switch (code) {
    case 10004:
        return QStringLiteral("呼び出しが取り消された。");
    case 10013:
        return QStringLiteral("指定されたアドレスは、ブロードキャストパケットの送信をサポートしていない。");
    case 10014:
        return QStringLiteral("32ビットインターネットアドレス指定に誤りがあります。");
    case 10022:
        return QStringLiteral("関数の呼び出し順番に誤りがある。");
    case 10024:
        return QStringLiteral("利用可能なファイル番号が存在しない。");
    case 10035:
        return QStringLiteral("このソケットはノンブロッキング型である。");
    case 10036:
        return QStringLiteral("ブロッキング呼び出し進行中。");
    case 10037:
        return QStringLiteral("ノンブロッキング型の処理を処理中。");
    case 10038:
        return QStringLiteral("ソケット以外を指定した。");
    case 10039:
        return QStringLiteral("リモートアドレスが指定されていない。");
    case 10040:
        return QStringLiteral("データがバッファより大きいので切りつめられた。");
    case 10041:
        return QStringLiteral("ソケットは指定されたプロトコルをサポートしていない。");
    case 10042:
        return QStringLiteral("プロトコルのオプションに誤りがある。");
    case 10043:
        return QStringLiteral("指定されたプロトコルはサポートされていない。");
    case 10044:
        return QStringLiteral("指定されたソケットタイプはサポートされていない。");
    case 10045:
        return QStringLiteral("指定されたソケットがサポートしていない操作である。");
    case 10046:
        return QStringLiteral("指定されたアドレスファミリがサポートされていない。");
    case 10047:
        return QStringLiteral("指定されたプロトコルでは、指定されたアドレスファミリがサポートされていない。");
    case 10048:
        return QStringLiteral("指定されたアドレスは使用中。");
    case 10049:
        return QStringLiteral("指定されたアドレスは使用できない。");
    case 10050:
        return QStringLiteral("ネットワークがダウンしている。");
    case 10051:
        return QStringLiteral("リモートホストのネットワークに接続できない。");
    case 10052:
        return QStringLiteral("ネットワークから切断された。");
    case 10053:
        return QStringLiteral("ネットワーク不良で接続が中止された。");
    case 10054:
        return QStringLiteral("リモートホストから切断された。");
    case 10055:
        return QStringLiteral("バッファ領域不足。");
    case 10056:
        return QStringLiteral("ソケットはすでに接続されている。");
    case 10057:
        return QStringLiteral("ソケットが接続されていない。");
    case 10058:
        return QStringLiteral("ソケットがシャットダウンされている。");
    case 10060:
        return QStringLiteral("接続処理タイムアウト。");
    case 10061:
        return QStringLiteral("接続が拒否された。");
    case 10064:
        return QStringLiteral("リモートホストがダウンしている。");
    case 10065:
        return QStringLiteral("ホストへのルートが存在しない。");
    case 10067:
        return QStringLiteral("プロセスが多すぎます。");
    case 10091:
        return QStringLiteral("ネットワークサブシステムに通信するための準備ができていない。");
    case 10092:
        return QStringLiteral("指定されたバージョンがサポートされていない。");
    case 10093:
        return QStringLiteral("WSAStartup関数を呼び出していないか、失敗しています。");
    case 11001:
        return QStringLiteral("ホストが見つからない。");
    case 11002:
        return QStringLiteral("権限があるホストが見つからない。");
    case 11003:
        return QStringLiteral("修復不可能なエラーが発生した。");
    case 11004:
        return QStringLiteral("データレコードの型が要求されていない。");
    default:
        return QStringLiteral("(%1)").arg(code);
    }
}

int WinsockCodeFromErrno(int e)
{
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return wsa::EINTR_;
    case EACCES:
    case EPERM:
        return wsa::EACCES_;
    case EFAULT:
        return wsa::EFAULT_;
    case EINVAL:
        return wsa::EINVAL_;
    case EMFILE:
    case ENFILE:
        return wsa::EMFILE_;
    case EAGAIN:
        return wsa::EWOULDBLOCK_;
    case EINPROGRESS:
        return wsa::EWOULDBLOCK_; // a pending connect, as Winsock reports it
    case EALREADY:
        return wsa::EALREADY_;
    case ENOTSOCK:
    case EBADF:
        return wsa::ENOTSOCK_;
    case EDESTADDRREQ:
        return wsa::EDESTADDRREQ_;
    case EMSGSIZE:
        return wsa::EMSGSIZE_;
    case EPROTOTYPE:
        return wsa::EPROTOTYPE_;
    case ENOPROTOOPT:
        return wsa::ENOPROTOOPT_;
    case EPROTONOSUPPORT:
        return wsa::EPROTONOSUPPORT_;
    case ESOCKTNOSUPPORT:
        return wsa::ESOCKTNOSUPPORT_;
    case EOPNOTSUPP:
        return wsa::EOPNOTSUPP_;
    case EPFNOSUPPORT:
        return wsa::EPFNOSUPPORT_;
    case EAFNOSUPPORT:
        return wsa::EAFNOSUPPORT_;
    case EADDRINUSE:
        return wsa::EADDRINUSE_;
    case EADDRNOTAVAIL:
        return wsa::EADDRNOTAVAIL_;
    case ENETDOWN:
        return wsa::ENETDOWN_;
    case ENETUNREACH:
        return wsa::ENETUNREACH_;
    case ENETRESET:
        return wsa::ENETRESET_;
    case ECONNABORTED:
        return wsa::ECONNABORTED_;
    case ECONNRESET:
    case EPIPE:
        return wsa::ECONNRESET_;
    case ENOBUFS:
    case ENOMEM:
        return wsa::ENOBUFS_;
    case EISCONN:
        return wsa::EISCONN_;
    case ENOTCONN:
        return wsa::ENOTCONN_;
    case ESHUTDOWN:
        return wsa::ESHUTDOWN_;
    case ETIMEDOUT:
        return wsa::ETIMEDOUT_;
    case ECONNREFUSED:
        return wsa::ECONNREFUSED_;
    case EHOSTDOWN:
        return wsa::EHOSTDOWN_;
    case EHOSTUNREACH:
        return wsa::EHOSTUNREACH_;
    default:
        return e;
    }
}

} // namespace voxlet
