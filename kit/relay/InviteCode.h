#pragma once

// Invite codes: ten characters of the Crockford base-32 alphabet, typed by the user or carried
// by an invite link, shown as two groups of five.
//
//   std::optional<std::string> code = InviteCode::normalize(" abcde-fghjk\n");   // "ABCDEFGHJK"
//   InviteCode::display(*code);                                                  // "ABCDE-FGHJK"
//   parseInviteURL("nolu://invite?code=ABCDE-FGHJK");                            // "ABCDEFGHJK"

#include <optional>
#include <string>
#include <string_view>

namespace brindlet {

namespace InviteCode {

inline constexpr std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// Upper-cases, drops dashes and whitespace, reads O as 0 and I, L as 1; the code when exactly
// ten characters of the alphabet remain.
std::optional<std::string> normalize(std::string_view text);
// "ABCDE-FGHJK" for a ten-character code; any other text unchanged.
std::string display(std::string_view code);

}  // namespace InviteCode

namespace RelayRegion {
// "Singapore" for "sin" in any case; any other code as given.
std::string displayName(std::string_view region);
}  // namespace RelayRegion

// The normalised code of an invite link (scheme "nolu" or "brindlet", host "invite", the
// first query item "code"); nothing for any other URL.
std::optional<std::string> parseInviteURL(std::string_view url);

}  // namespace brindlet
