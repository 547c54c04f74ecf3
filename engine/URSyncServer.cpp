#include "URSyncServer.h"

#include "UFiles.h"

#include <algorithm>
#include <typeindex>
#include <utility>
#include <vector>

namespace kal {

namespace {

struct TServerClass {
    std::type_index Type;
    TServerFactory Factory;
};

std::vector<TServerClass>& ServerClasses() {
    static std::vector<TServerClass> classes = {
        {typeid(TLocalHost),
         [] {
             return std::unique_ptr<TRSyncServer>(new TLocalHost());
         }},
        {typeid(TRemoteHost),
         [] {
             return std::unique_ptr<TRSyncServer>(new TRemoteHost());
         }},
    };
    return classes;
}

} // namespace

EListError::EListError(int index)
    : EStreamError("List index out of bounds (" + std::to_string(index) + ")") {}

TRSyncServer::~TRSyncServer() = default;

void TRSyncServer::SaveToFile(const std::string& fileName) const {
    SaveRecordToFile(*this, fileName);
}

void TRSyncServer::LoadFromFile(const std::string& fileName) {
    LoadRecordFromFile(*this, fileName);
}

TLocalHost::TLocalHost(const std::string& path) {
    SetPath(path);
}

void TLocalHost::SetPath(const std::string& path) {
    FPath = path;
    if (!FPath.empty() && FPath.back() != '\\')
        FPath += '\\';
}

std::string TLocalHost::GetDestination() const {
    return ToRSyncPath(FPath);
}

std::string TRSyncServer::ReceiverPath(const std::string& module) const {
    return GetDestination() + module + "/";
}

bool TLocalHost::Prepare() {
    return DirectoryExists(FPath) || CreateSingleDirectory(FPath);
}

std::string TLocalHost::PrepareFailure() const {
    // Nearly always a removable disk that is not plugged in, or a network drive
    // that is not connected.
    return "The destination folder " + FPath +
           " is not available: it does not exist and cannot be created. Is its drive connected?";
}

void TLocalHost::SaveToStream(TStream& s) const {
    WriteString(s, FPath);
}

void TLocalHost::LoadFromStream(TStream& s) {
    FPath = ReadString(s);
}

std::string TRemoteHost::GetDestination() const {
    return FUser.empty() ? FHost + "::" : FUser + "@" + FHost + "::";
}

std::string TRemoteHost::ReceiverPath(const std::string& module) const {
    // "module/account": the daemon resolves paths from the module's root.
    const std::size_t slash = module.find('/');
    return slash == std::string::npos ? "/" : module.substr(slash) + "/";
}

void TRemoteHost::SaveToStream(TStream& s) const {
    WriteString(s, FUser);
    WriteString(s, FHost);
}

void TRemoteHost::LoadFromStream(TStream& s) {
    std::string user = ReadString(s);
    FHost = ReadString(s);
    FUser = std::move(user);
}

void RegisterServerClass(const std::type_info& type, TServerFactory factory) {
    auto& classes = ServerClasses();
    const std::type_index index(type);
    if (std::none_of(classes.begin(), classes.end(),
                     [&](const TServerClass& c) { return c.Type == index; }))
        classes.push_back({index, factory});
}

int GetId(const TRSyncServer& server) {
    const auto& classes = ServerClasses();
    const std::type_index index(typeid(server));
    for (std::size_t i = 0; i < classes.size(); ++i)
        if (classes[i].Type == index)
            return static_cast<int>(i);
    return -1;
}

TServerFactory GetClass(int id) {
    const auto& classes = ServerClasses();
    if (id < 0 || static_cast<std::size_t>(id) >= classes.size())
        throw EListError(id);
    return classes[static_cast<std::size_t>(id)].Factory;
}

} // namespace kal
