#pragma once
// Socket errors are shown to the user as the Japanese sentences of the
// Winsock error codes; Linux errno values are mapped onto those codes here.

#include <QString>

namespace voxlet {

namespace wsa {
constexpr int EINTR_ = 10004;
constexpr int EACCES_ = 10013;
constexpr int EFAULT_ = 10014;
constexpr int EINVAL_ = 10022;
constexpr int EMFILE_ = 10024;
constexpr int EWOULDBLOCK_ = 10035;
constexpr int EINPROGRESS_ = 10036;
constexpr int EALREADY_ = 10037;
constexpr int ENOTSOCK_ = 10038;
constexpr int EDESTADDRREQ_ = 10039;
constexpr int EMSGSIZE_ = 10040;
constexpr int EPROTOTYPE_ = 10041;
constexpr int ENOPROTOOPT_ = 10042;
constexpr int EPROTONOSUPPORT_ = 10043;
constexpr int ESOCKTNOSUPPORT_ = 10044;
constexpr int EOPNOTSUPP_ = 10045;
constexpr int EPFNOSUPPORT_ = 10046;
constexpr int EAFNOSUPPORT_ = 10047;
constexpr int EADDRINUSE_ = 10048;
constexpr int EADDRNOTAVAIL_ = 10049;
constexpr int ENETDOWN_ = 10050;
constexpr int ENETUNREACH_ = 10051;
constexpr int ENETRESET_ = 10052;
constexpr int ECONNABORTED_ = 10053;
constexpr int ECONNRESET_ = 10054;
constexpr int ENOBUFS_ = 10055;
constexpr int EISCONN_ = 10056;
constexpr int ENOTCONN_ = 10057;
constexpr int ESHUTDOWN_ = 10058;
constexpr int ETIMEDOUT_ = 10060;
constexpr int ECONNREFUSED_ = 10061;
constexpr int EHOSTDOWN_ = 10064;
constexpr int EHOSTUNREACH_ = 10065;
} // namespace wsa

QString WinsockErrorText(int code);

// 0 for 0; the Winsock code for a Linux errno value; unknown values keep
// their own number, so they still show as "(n)".
int WinsockCodeFromErrno(int errnoValue);

} // namespace voxlet
