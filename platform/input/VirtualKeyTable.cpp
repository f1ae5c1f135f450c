#include "platform/input/VirtualKeyTable.h"

#include <X11/keysym.h>

#include <array>

namespace brindlet::platform {
namespace {

struct Entry {
  uint16_t virtualKey;
  VirtualKeyPlace place;
};

// Every key the Mac keyboard numbers, by position.
constexpr std::array kEntries{
    Entry{0, {"AC01", XK_a}},
    Entry{1, {"AC02", XK_s}},
    Entry{2, {"AC03", XK_d}},
    Entry{3, {"AC04", XK_f}},
    Entry{4, {"AC06", XK_h}},
    Entry{5, {"AC05", XK_g}},
    Entry{6, {"AB01", XK_z}},
    Entry{7, {"AB02", XK_x}},
    Entry{8, {"AB03", XK_c}},
    Entry{9, {"AB04", XK_v}},
    Entry{10, {"LSGT", XK_less}},
    Entry{11, {"AB05", XK_b}},
    Entry{12, {"AD01", XK_q}},
    Entry{13, {"AD02", XK_w}},
    Entry{14, {"AD03", XK_e}},
    Entry{15, {"AD04", XK_r}},
    Entry{16, {"AD06", XK_y}},
    Entry{17, {"AD05", XK_t}},
    Entry{18, {"AE01", XK_1}},
    Entry{19, {"AE02", XK_2}},
    Entry{20, {"AE03", XK_3}},
    Entry{21, {"AE04", XK_4}},
    Entry{22, {"AE06", XK_6}},
    Entry{23, {"AE05", XK_5}},
    Entry{24, {"AE12", XK_equal}},
    Entry{25, {"AE09", XK_9}},
    Entry{26, {"AE07", XK_7}},
    Entry{27, {"AE11", XK_minus}},
    Entry{28, {"AE08", XK_8}},
    Entry{29, {"AE10", XK_0}},
    Entry{30, {"AD12", XK_bracketright}},
    Entry{31, {"AD09", XK_o}},
    Entry{32, {"AD07", XK_u}},
    Entry{33, {"AD11", XK_bracketleft}},
    Entry{34, {"AD08", XK_i}},
    Entry{35, {"AD10", XK_p}},
    Entry{36, {"RTRN", XK_Return}},
    Entry{37, {"AC09", XK_l}},
    Entry{38, {"AC07", XK_j}},
    Entry{39, {"AC11", XK_apostrophe}},
    Entry{40, {"AC08", XK_k}},
    Entry{41, {"AC10", XK_semicolon}},
    Entry{42, {"BKSL", XK_backslash}},
    Entry{43, {"AB08", XK_comma}},
    Entry{44, {"AB10", XK_slash}},
    Entry{45, {"AB06", XK_n}},
    Entry{46, {"AB07", XK_m}},
    Entry{47, {"AB09", XK_period}},
    Entry{48, {"TAB", XK_Tab}},
    Entry{49, {"SPCE", XK_space}},
    Entry{50, {"TLDE", XK_grave}},
    Entry{51, {"BKSP", XK_BackSpace}},
    Entry{53, {"ESC", XK_Escape}},
    Entry{54, {"RWIN", XK_Super_R}},
    Entry{55, {"LWIN", XK_Super_L}},
    Entry{56, {"LFSH", XK_Shift_L}},
    Entry{57, {"CAPS", XK_Caps_Lock}},
    Entry{58, {"LALT", XK_Alt_L}},
    Entry{59, {"LCTL", XK_Control_L}},
    Entry{60, {"RTSH", XK_Shift_R}},
    Entry{61, {"RALT", XK_Alt_R}},
    Entry{62, {"RCTL", XK_Control_R}},
    Entry{64, {"FK17", XK_F17}},
    Entry{65, {"KPDL", XK_KP_Decimal}},
    Entry{67, {"KPMU", XK_KP_Multiply}},
    Entry{69, {"KPAD", XK_KP_Add}},
    Entry{71, {"NMLK", XK_Num_Lock}},
    Entry{75, {"KPDV", XK_KP_Divide}},
    Entry{76, {"KPEN", XK_KP_Enter}},
    Entry{78, {"KPSU", XK_KP_Subtract}},
    Entry{79, {"FK18", XK_F18}},
    Entry{80, {"FK19", XK_F19}},
    Entry{81, {"KPEQ", XK_KP_Equal}},
    Entry{82, {"KP0", XK_KP_0}},
    Entry{83, {"KP1", XK_KP_1}},
    Entry{84, {"KP2", XK_KP_2}},
    Entry{85, {"KP3", XK_KP_3}},
    Entry{86, {"KP4", XK_KP_4}},
    Entry{87, {"KP5", XK_KP_5}},
    Entry{88, {"KP6", XK_KP_6}},
    Entry{89, {"KP7", XK_KP_7}},
    Entry{90, {"FK20", XK_F20}},
    Entry{91, {"KP8", XK_KP_8}},
    Entry{92, {"KP9", XK_KP_9}},
    Entry{96, {"FK05", XK_F5}},
    Entry{97, {"FK06", XK_F6}},
    Entry{98, {"FK07", XK_F7}},
    Entry{99, {"FK03", XK_F3}},
    Entry{100, {"FK08", XK_F8}},
    Entry{101, {"FK09", XK_F9}},
    Entry{103, {"FK11", XK_F11}},
    Entry{105, {"FK13", XK_F13}},
    Entry{106, {"FK16", XK_F16}},
    Entry{107, {"FK14", XK_F14}},
    Entry{109, {"FK10", XK_F10}},
    Entry{111, {"FK12", XK_F12}},
    Entry{113, {"FK15", XK_F15}},
    Entry{114, {"INS", XK_Insert}},
    Entry{115, {"HOME", XK_Home}},
    Entry{116, {"PGUP", XK_Prior}},
    Entry{117, {"DELE", XK_Delete}},
    Entry{118, {"FK04", XK_F4}},
    Entry{119, {"END", XK_End}},
    Entry{120, {"FK02", XK_F2}},
    Entry{121, {"PGDN", XK_Next}},
    Entry{122, {"FK01", XK_F1}},
    Entry{123, {"LEFT", XK_Left}},
    Entry{124, {"RGHT", XK_Right}},
    Entry{125, {"DOWN", XK_Down}},
    Entry{126, {"UP", XK_Up}},
};

}  // namespace

std::optional<VirtualKeyPlace> virtualKeyPlace(uint16_t virtualKey) {
  for (const Entry& e : kEntries) {
    if (e.virtualKey == virtualKey) return e.place;
  }
  return std::nullopt;
}

}  // namespace brindlet::platform
