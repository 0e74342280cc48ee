// Construction and destruction of the agent object, and its attachment to the main window.
#include "agent/TokenAgent.h"

#include "protocol/Messages.h"
#include "agent/ResultNames.h"
#include "agent/SharedMemory.h"
#include "platform/format.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "platform/window.h"

CTokenAgent::CTokenAgent() : m_MemName1(kReturnChannelName) {
    for (std::uint32_t& slot : m_SlotID) {
        slot = 0xFFFFFFFFu;
    }
    FillResultNames(m_ResultNames);
    FillCkrNames(m_CkrNames);
    _hMem1 = CreateReturnChannel(m_MemName1);
    if (_hMem1 == nullptr) {
        m_MemName1 = kReturnChannelFallback;
        _hMem1 = CreateReturnChannel(m_MemName1);
    }
    StartLibrary();
}

CTokenAgent::~CTokenAgent() {
    ShutdownLibrary();
    for (plat::MappingHandle* handle : {&_hMem, &_hMem1, &_hMem2}) {
        if (*handle != nullptr) {
            CloseSharedMemory(*handle);
            *handle = nullptr;
        }
    }
    // The system would release it with the process; closing it keeps an agent object that ends
    // early (as in tests) from leaking the handle.
    if (m_hPeerProcess != nullptr) {
        plat::CloseProcess(m_hPeerProcess);
        m_hPeerProcess = nullptr;
    }
}

bool CTokenAgent::AttachWindow(plat::WindowHandle mainWindow, plat::WindowHandle console) {
    m_hWnd = mainWindow;
    m_hLogWnd = console;
    // Attaching again (a repeated WM_CREATE) must not leak the channels opened before.
    CloseSharedMemory(_hMem);
    CloseSharedMemory(_hMem2);
    _hMem = m_MemName.empty() ? OpenDefaultRequestChannel() : OpenSharedMemory(m_MemName.c_str());
    _hMem2 = m_MemName2.empty() ? nullptr : OpenSharedMemory(m_MemName2.c_str());
    plat::SetTimer(m_hWnd, kHelloTimer, kFirstTickMs);
    return true;
}

std::u16string CTokenAgent::ErrorText(std::int32_t code) const {
    return ErrorTextFor(m_ResultNames, m_CkrNames, code);
}

// The channels that failed to open at start are tried again when the main window is created;
// each attempt and the three handles go to the log.
namespace {

// A handle as the log shows it.
std::int32_t HandleValue(plat::MappingHandle handle) {
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(handle));
}

} // namespace

void CTokenAgent::ReopenChannels() {
    if (_hMem == nullptr) {
        _hMem = plat::OpenMapping(m_MemName);
        if (_hMem == nullptr) {
            Log(plat::Format(u"message:lastError:%d(ReTry open %s)",
                             static_cast<int>(plat::LastError()), m_MemName.c_str()));
        }
    }
    if (_hMem1 == nullptr) {
        _hMem1 = CreateReturnChannel(m_MemName1);
        if (_hMem1 == nullptr) {
            Log(plat::Format(u"message:lastError:%d(ReTry create %s)",
                             static_cast<int>(plat::LastError()), m_MemName1.c_str()));
        }
    }
    if (_hMem2 == nullptr) {
        _hMem2 = plat::OpenMapping(m_MemName2);
        if (_hMem2 == nullptr) {
            Log(plat::Format(u"message:lastError:%d(ReTry open %s)",
                             static_cast<int>(plat::LastError()), m_MemName2.c_str()));
        }
    }
    Log(plat::Format(u"message:WM_CREATE,_hMem:%d,data:%s;", HandleValue(_hMem),
                     m_MemName.c_str()));
    Log(plat::Format(u"message:WM_CREATE,_hMem1:%d,data:%s;", HandleValue(_hMem1),
                     m_MemName1.c_str()));
    Log(plat::Format(u"message:WM_CREATE,_hMem2:%d,data:%s;", HandleValue(_hMem2),
                     m_MemName2.c_str()));
}
