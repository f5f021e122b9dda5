// The front end's Japanese texts in UTF-8, for the POSIX builds.
#include "frontend/messages.h"

namespace crv {

const MessageTable kMessages = {
    "ファイル %sの改行コードを正規化しまか？(y/n) : ",
    "ファイル %s の改行コードを正規化します。\nよろしいですか？",
    "crv エラー",
};

}  // namespace crv
