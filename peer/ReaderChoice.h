// Which reader a command means: a slot description, a token label or serial, or a PKCS#11 URI
// (RFC 7512) naming the token and perhaps the module. The reader is chosen among the module's
// own slots, before the agent is asked for anything.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "peer/ModuleView.h"

namespace peer {

struct ReaderQuery {
    std::string given; // the text as the user gave it, for messages
    bool uri = false;
    // Without a URI `given` is the description, label or serial of the one slot meant; a URI's
    // slot and token attributes, percent-decoded, by name.
    std::map<std::string, std::string> attributes;
    // The URI's id, object and type, percent-decoded: they must name the agent's signing key or
    // certificate.
    std::map<std::string, std::string> objectAttributes;
    std::string modulePath; // from the URI; empty when it names none
    std::string moduleName; // a module registered with p11-kit, from the URI
};

// Reads a reader argument; a text starting with "pkcs11:" is a URI. PeerFailure (Usage) when
// the URI cannot be read.
ReaderQuery ParseReader(const std::string& text);

// The module asked for: `--module` (`option`), else the URI's module-path or module-name; empty
// when neither names one (the agent's own choice stands). PeerFailure (Usage) when the two
// disagree, (ModuleFailed) when the name is not registered.
std::string RequestedModule(const std::string& option, const ReaderQuery& query);

// The one slot the query matches. PeerFailure (NoReader) listing the readers when none does,
// listing the matches when several do, and when an earlier reader has the same description (the
// agent selects readers by description and would reach that one instead).
SlotView ChooseReader(const std::vector<SlotView>& slots, const ReaderQuery& query);

// Every slot whose description is `description`, in the module's order. The agent is told a
// description and takes the first slot that has it: with more than one, a request meant for a
// later one reaches the first card.
std::vector<SlotView> SlotsDescribedAs(const std::vector<SlotView>& slots,
                                       const std::string& description);

// True when the slot matches the query (for reading the same slot again later).
bool ReaderMatches(const SlotView& slot, const ReaderQuery& query);

// The path of the module that p11-kit registers under `name`. PeerFailure (ModuleFailed)
// naming the registered modules when none has that name, or where p11-kit is not available.
std::string RegisteredModulePath(const std::string& name);

struct RegisteredModule {
    std::string name;
    std::string file;
};
// Every module p11-kit registers, in its order; empty where p11-kit is not available.
std::vector<RegisteredModule> RegisteredModules();

} // namespace peer
