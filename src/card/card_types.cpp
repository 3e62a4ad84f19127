#include "card/card_types.h"

namespace tessarin {

int g_nSystemKind = static_cast<int>(SystemKind::WinCE);

}  // namespace tessarin
