// platform_intruder: run as a second local user against the first user's channels and windows.
//   squat UID NAME...        pre-creates, in the shared /dev/shm and /tmp, the names a mapping
//                            NAME of user UID had or might have; prints "made PATH" for each
//   probe DIR PID CLASS NAME...
//                            tries every way in to the first user's runtime directory DIR: list
//                            it, read, write, remove and create mapping files, open and create
//                            the mappings through the platform layer, connect to the windows of
//                            class CLASS of process PID, find them; prints "could WHAT" for each
//                            that worked, then "done"
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/text.h"
#include "platform/mapping.h"
#include "platform/posix/posix_util.h"
#include "platform/window.h"

namespace {

std::string Escaped(const std::string& name) {
    return plat::detail::EscapeName(name);
}

void Could(const std::string& what) {
    std::printf("could %s\n", what.c_str());
}

bool Made(int fd) {
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

int Squat(const std::string& uid, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        for (const std::string& path :
             {"/dev/shm/tessivo." + uid + "." + Escaped(name), "/dev/shm/" + Escaped(name) + ".map",
              "/tmp/" + Escaped(name) + ".map"}) {
            if (Made(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666))) {
                std::printf("made %s\n", path.c_str());
            }
        }
    }
    return 0;
}

bool Connects(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

int Probe(const std::string& dir, const std::string& pid, const std::string& className,
          const std::vector<std::string>& names) {
    if (DIR* stream = opendir(dir.c_str())) {
        closedir(stream);
        Could("list " + dir);
    }
    for (const std::string& name : names) {
        const std::string file = dir + "/" + Escaped(name) + ".map";
        if (Made(open(file.c_str(), O_RDONLY | O_CLOEXEC))) {
            Could("read " + file);
        }
        if (Made(open(file.c_str(), O_WRONLY | O_CLOEXEC))) {
            Could("write " + file);
        }
        if (Made(open((file + ".squat").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666))) {
            Could("create " + file + ".squat");
        }
        if (symlink("/dev/null", (file + ".link").c_str()) == 0) {
            Could("link " + file + ".link");
        }
        if (unlink(file.c_str()) == 0) {
            Could("remove " + file);
        }
    }
    for (int serial = 1; serial <= 8; ++serial) {
        const std::string socket =
            dir + "/" + Escaped(className) + "." + pid + "." + std::to_string(serial);
        if (Connects(socket)) {
            Could("connect " + socket);
        }
    }
    // The platform layer itself, pointed at the first user's directory.
    setenv("TESSIVO_RUNTIME_DIR", dir.c_str(), 1);
    for (const std::string& name : names) {
        const std::u16string wide = plat::Utf8ToUtf16(name);
        if (plat::MappingHandle mapping = plat::OpenMapping(wide)) {
            plat::CloseMapping(mapping);
            Could("open mapping " + name);
        }
        if (plat::MappingHandle mapping = plat::CreateMapping(wide, 4096)) {
            plat::CloseMapping(mapping);
            Could("create mapping " + name);
        }
    }
    if (plat::FindTopLevelWindow(plat::Utf8ToUtf16(className), 0) != 0) {
        Could("find window " + className);
    }
    std::printf("done\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "squat") {
        return Squat(args[1], {args.begin() + 2, args.end()});
    }
    if (args.size() >= 4 && args[0] == "probe") {
        return Probe(args[1], args[2], args[3], {args.begin() + 4, args.end()});
    }
    std::fprintf(stderr,
                 "usage: platform_intruder squat UID NAME... | probe DIR PID CLASS NAME...\n");
    return 2;
}
