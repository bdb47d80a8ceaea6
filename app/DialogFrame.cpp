#include "DialogFrame.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdint>
#include <cstring>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#endif

namespace {

// The _MOTIF_WM_HINTS property: five 32-bit words.
constexpr std::uint32_t kHintsFunctions = 1u << 0;
constexpr std::uint32_t kHintsDecorations = 1u << 1;
constexpr std::uint32_t kFunctionMove = 1u << 2;
constexpr std::uint32_t kFunctionClose = 1u << 5;
constexpr std::uint32_t kDecorationBorder = 1u << 1;
constexpr std::uint32_t kDecorationTitle = 1u << 3;
constexpr std::uint32_t kDecorationMenu = 1u << 4;

}  // namespace

void ApplyDialogFrame(QWidget* window)
{
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return;
    xcb_connection_t* connection = x11->connection();
    const char* name = "_MOTIF_WM_HINTS";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (atom == nullptr)
        return;
    const std::uint32_t hints[5] = {kHintsFunctions | kHintsDecorations, kFunctionMove | kFunctionClose,
                                    kDecorationBorder | kDecorationTitle | kDecorationMenu, 0, 0};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()), atom->atom,
                        atom->atom, 32, 5, hints);
    xcb_flush(connection);
    std::free(atom);
#else
    static_cast<void>(window);
#endif
}
