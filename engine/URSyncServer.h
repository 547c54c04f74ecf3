// The backup destinations: a folder on this machine or a module of an rsync
// daemon, and the registry that numbers their classes in Data.dat.
#pragma once

#include "UStreams.h"

#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

namespace kal {

// An index outside a list: "List index out of bounds (%d)".
class EListError : public EStreamError {
public:
    explicit EListError(int index);
};

// Windows path to rsync's form (see URSyncTransfer.cpp).
std::string ToCygwinPath(std::string_view path, bool driveForm);
// A local or network path as rsync names it: ToCygwinPath's drive form behind
// "/cygdrive/", except a network path, which is "//server/share/..." already;
// a bare drive "D:" is "/cygdrive/D".
std::string ToRSyncPath(std::string_view path);

class TRSyncServer {
public:
    TRSyncServer() = default;
    virtual ~TRSyncServer();
    TRSyncServer(const TRSyncServer&) = delete;
    TRSyncServer& operator=(const TRSyncServer&) = delete;

    // rsync address prefix; the caller appends Module.
    virtual std::string GetDestination() const = 0;
    // The account `module` as the receiving rsync names it in an option such as
    // --backup-dir, ending in "/": a daemon takes "/" for its module's root.
    virtual std::string ReceiverPath(const std::string& module) const;
    // Makes the destination usable; a run is not started when this answers false.
    virtual bool Prepare() = 0;
    // Why the last Prepare answered false, in words for the error pane.
    virtual std::string PrepareFailure() const { return "The destination is not available."; }
    virtual void SaveToStream(TStream& s) const = 0;
    virtual void LoadFromStream(TStream& s) = 0;
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);
};

class TLocalHost : public TRSyncServer {
public:
    TLocalHost() = default;
    explicit TLocalHost(const std::string& path);
    const std::string& Path() const { return FPath; }
    // Appends "\" to a non-empty path that lacks it.
    void SetPath(const std::string& path);

    std::string GetDestination() const override;
    // True when the folder exists or this one level could be created.
    bool Prepare() override;
    std::string PrepareFailure() const override;
    void SaveToStream(TStream& s) const override;
    // The stored path is taken unchanged.
    void LoadFromStream(TStream& s) override;

private:
    std::string FPath;
};

class TRemoteHost : public TRSyncServer {
public:
    const std::string& User() const { return FUser; }
    void SetUser(const std::string& user) { FUser = user; }
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& host) { FHost = host; }

    std::string GetDestination() const override;
    std::string ReceiverPath(const std::string& module) const override;
    bool Prepare() override { return true; }
    void SaveToStream(TStream& s) const override;
    void LoadFromStream(TStream& s) override;

private:
    std::string FUser;
    std::string FHost;
};

// ServerClasses: the destination classes in registration order; the position is
// the class number stored in Data.dat (0 TLocalHost, 1 TRemoteHost).
using TServerFactory = std::unique_ptr<TRSyncServer> (*)();
void RegisterServerClass(const std::type_info& type, TServerFactory factory);
template <typename T> void RegisterServerClass() {
    RegisterServerClass(typeid(T), [] { return std::unique_ptr<TRSyncServer>(new T()); });
}
// Position of the object's class, -1 when not registered.
int GetId(const TRSyncServer& server);
// Factory at a position; EListError outside the registry.
TServerFactory GetClass(int id);

} // namespace kal
