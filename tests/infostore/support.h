// Shared pieces of the information store tests: a store of their own in a
// scratch directory, a MAPI profile and session on it, and small holders.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mailstore/mailbox_ops.h"
#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/mapi/mapi_runtime.h"

namespace storetest {

// The scratch directory of this test run (made once; SORTWELL_PROFILES
// points into it).
const std::string& ScratchDir();
// A fresh file name in the scratch directory.
std::string FreshPath(const std::string& stem);
void RemoveStoreFiles(const std::string& path);

// Gives back what it holds, by `Free`, on scope exit or when it is reused
// through out().
template <typename T, void (*Free)(T*)> class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { reset(); }
    void reset() {
        if (p_ != nullptr)
            Free(p_);
        p_ = nullptr;
    }
    T** out() {
        reset();
        return &p_;
    }
    LPUNKNOWN* unk() { return reinterpret_cast<LPUNKNOWN*>(out()); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For row sets.
    ULONG size() const { return p_ ? p_->cRows : 0; }
    const SRow& operator[](ULONG i) const { return p_->aRow[i]; }

private:
    T* p_ = nullptr;
};
template <typename T> void ReleaseObject(T* p) {
    p->Release();
}
template <typename T> void FreeBuffer(T* p) {
    MAPIFreeBuffer(p);
}
inline void FreeRows(SRowSet* p) {
    FreeProws(p);
}
template <typename T> using Obj = Held<T, ReleaseObject<T>>; // a MAPI object
template <typename T> using Buf = Held<T, FreeBuffer<T>>;    // a MAPI buffer
using Rows = Held<SRowSet, FreeRows>;                        // a row set

std::vector<BYTE> Bytes(const SBinary& bin);
std::vector<BYTE> Bytes(ULONG cb, const void* data);

// Creates profile `profile` the agent's own way, for `alias` on `server`
// (null: this host). Returns ConfigureMsgService's result (or the first
// failure before it).
HRESULT MakeProfile(const std::string& profile, const char* alias, const char* server);
void DropProfile(const std::string& profile);
HRESULT Logon(const std::string& profile, LPMAPISESSION* session);
// The binary property `tag` of `object` (empty, with a failure, if missing).
std::vector<BYTE> PropBytes(LPMAPIPROP object, ULONG tag);

// A store with server "mail1" (mailboxes agent, alice, bob) and "mail2"
// (mailbox carol), a profile for "agent" and a session on it. Checks in
// TearDown that every MAPI buffer and object was given back.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The private store of the session.
    LPMDB PrivateStore();
    // Opens `mailbox`'s store through the administrative interface.
    HRESULT OpenMailbox(const std::string& mailbox_dn, LPMDB* store,
                        ULONG flags = OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP);
    // Opens the folder of `path` (admin path) in an open store.
    HRESULT OpenFolder(LPMDB store, const std::string& mailbox, const std::string& path,
                       LPMAPIFOLDER* folder);
    std::vector<BYTE> FolderId(const std::string& mailbox, const std::string& path);
    std::vector<infostore::MessageInfo> Messages(const std::string& mailbox,
                                                 const std::string& path);
    // Makes `operation` fail (or warn) with `hr` for `mailbox` `times` times
    // (-1: until cleared).
    HRESULT Fault(const std::string& operation, const std::string& mailbox, HRESULT hr, int times);
    // Delivers a message with the given extra header lines.
    void Deliver(const std::string& mailbox, const std::string& subject,
                 const std::string& headers);

    std::string path_;
    std::string profile_;
    std::unique_ptr<infostore::Admin> admin_;
    infostore::MailboxInfo agent_, alice_, bob_, carol_;
    LPMAPISESSION session_ = nullptr;
    LPMDB private_store_ = nullptr;
    ULONG buffers_ = 0;
    ULONG objects_ = 0;
};

} // namespace storetest
