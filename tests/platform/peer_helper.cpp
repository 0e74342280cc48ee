// platform_peer: the other process of the platform layer's two-process tests.
//   window            a window of class "TESSIVO" and a message loop; exits with the quit code
//   map NAME BYTE     opens mapping NAME, checks its ends hold BYTE, answers at offset 1
//   exit CODE MS      waits MS milliseconds, then exits with CODE
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/mapping.h"
#include "platform/window.h"
#include "tests/platform/peer_protocol.h"

namespace {

using namespace peer_protocol;

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

plat::LResult HelperProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                         plat::LParam lParam) {
    switch (message) {
    case kEcho:
        return static_cast<plat::LResult>(wParam) * 1000 + lParam;
    case kWhoAmI:
        return static_cast<plat::LResult>(plat::CurrentProcessId());
    case kQuit:
        plat::PostQuitMessage(static_cast<int>(wParam));
        return 0;
    case kDie:
        std::_Exit(9);
    case kSlow:
        std::this_thread::sleep_for(std::chrono::milliseconds(wParam));
        return lParam;
    case kDestroy:
        plat::DestroyWindow(window);
        return 1;
    case kCallBack:
        return plat::SendMessage(static_cast<plat::WindowHandle>(wParam), kEcho,
                                 static_cast<plat::WParam>(lParam), 1) +
               1;
    default:
        return plat::DefWindowProc(window, message, wParam, lParam);
    }
}

int RunWindow() {
    if (!plat::RegisterWindowClass(kClassName, HelperProc, 0) ||
        plat::CreateTopLevelWindow(kClassName, u"Tessivo", 0, 0, 0, 100, 100) == 0) {
        return 1;
    }
    return plat::RunMessageLoop(0);
}

int CheckMapping(const std::string& name, int expected) {
    plat::MappingHandle mapping = plat::OpenMapping(Widen(name));
    if (mapping == nullptr) {
        return kMapOpenFailed;
    }
    int result = kMapWrongContent;
    {
        const plat::OwnedView view = plat::MapView(mapping);
        unsigned char* data = view.Data();
        if (data != nullptr && view.Size() >= 1024000 && data[0] == expected &&
            data[1023999] == expected) {
            data[1] = kMapReply;
            result = kMapSeen;
        }
    }
    plat::CloseMapping(mapping);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "window") {
        return RunWindow();
    }
    if (mode == "map" && argc > 3) {
        return CheckMapping(argv[2], std::atoi(argv[3]));
    }
    if (mode == "exit" && argc > 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
        return std::atoi(argv[2]);
    }
    return 100;
}
