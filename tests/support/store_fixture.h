// A fresh embedded store for every test: one server, the agent's own mailbox
// and the mailbox "alice"; a temporary profile, a session and the private
// store, made with the agent's own operations. TearDown checks that every
// MAPI buffer and object is given back. A test program that uses it links
// the mailbox, lookup, store and MAPI libraries itself.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "exchange_util/exchange_util.h"
#include "mailstore/mailbox_ops.h"
#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/mapi/mapi_runtime.h"

namespace testing_store {

// The run's scratch directory; SORTWELL_PROFILES points into it.
const std::string& WorkDir();
std::u16string W(const std::string& text);
std::string A(const std::u16string& text);

constexpr const char16_t* kRuleName = u"_Corvane Spam Folder Rule_";
constexpr const char* kMarker = "X-Spam-Flag: YES";

// What one mailbox's processing holds.
struct Mailbox {
    LPMDB store = nullptr;
    LPMAPIFOLDER inbox = nullptr;
    LPEXCHANGEMODIFYTABLE rules = nullptr;
    LPMAPITABLE view = nullptr;
};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Logs on to `mailbox` and opens its Inbox and rules tables.
    void Open(const infostore::MailboxInfo& mailbox, Mailbox* out);
    void Close(Mailbox* mailbox);
    // Opens a folder of alice's mailbox by path through the store.
    LPMAPIFOLDER OpenFolder(const Mailbox& mailbox, const std::string& path);
    std::vector<BYTE> FolderId(const std::string& path);

    std::vector<infostore::RuleInfo> Rules();
    std::vector<infostore::MessageInfo> Messages(const std::string& path);
    // Makes the named operation fail (or warn) `times` times (-1: always).
    void Fault(const std::string& operation, HRESULT hr, std::int32_t times = -1);

    const std::string& store_path() const { return path_; }

    std::unique_ptr<infostore::Admin> admin_;
    infostore::MailboxInfo agent_, alice_;
    std::u16string profile_;
    std::u16string store_dn_;
    LPMAPISESSION session_ = nullptr;
    LPMDB private_store_ = nullptr;

private:
    std::string path_;
    ULONG buffers_ = 0, objects_ = 0;
};

// The store test with alice's mailbox open and her folder "Spam" made and
// open too.
class SpamFolderTest : public StoreTest {
protected:
    void SetUp() override;
    void TearDown() override;

    Mailbox box_;
    LPMAPIFOLDER spam_ = nullptr;
};

} // namespace testing_store
