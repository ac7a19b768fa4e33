#include "call/runtime_error.h"

#include <cerrno>

namespace voxlet {

QString RuntimeErrorDescription(int number)
{
    switch (number) {
    case err::InvalidCall:
        return QStringLiteral("プロシージャの呼び出し、または引数が不正です。");
    case err::Overflow:
        return QStringLiteral("オーバーフローしました。");
    case err::SubscriptOutOfRange:
        return QStringLiteral("インデックスが有効範囲にありません。");
    case err::TypeMismatch:
        return QStringLiteral("型が一致しません。");
    case err::BadFileNameOrNumber:
        return QStringLiteral("ファイル名または番号が不正です。");
    case err::FileNotFound:
        return QStringLiteral("ファイルが見つかりません。");
    case err::DeviceIoError:
        return QStringLiteral("デバイス I/O エラーです。");
    case err::DiskFull:
        return QStringLiteral("ディスクの空き容量が不足しています。");
    case err::InputPastEndOfFile:
        return QStringLiteral("ファイルにこれ以上データがありません。");
    case err::PermissionDenied:
        return QStringLiteral("書き込みできません。");
    case err::PathFileAccessError:
        return QStringLiteral("パス名が無効です。");
    case err::PathNotFound:
        return QStringLiteral("パスが見つかりません。");
    default:
        return QStringLiteral("アプリケーション定義またはオブジェクト定義のエラーです。");
    }
}

int RuntimeErrorFromErrno(int e)
{
    switch (e) {
    case ENOENT:
        return err::FileNotFound;
    case ENOTDIR:
        return err::PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return err::PermissionDenied;
    case ENOSPC:
    case EDQUOT:
        return err::DiskFull;
    case EISDIR:
    case ENAMETOOLONG:
        return err::PathFileAccessError;
    default:
        return err::DeviceIoError;
    }
}

} // namespace voxlet
