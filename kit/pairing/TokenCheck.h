#pragma once

namespace brindlet {

// The result of checking a token pairing proof against the current pairing token.
enum class TokenCheck { valid, invalid, expired };

}  // namespace brindlet
