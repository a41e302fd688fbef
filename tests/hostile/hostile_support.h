// Shared pieces of the hostile input tests: a store with one mailbox, its
// spam folder and the agent's kind of rule.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_admin.h"
#include "tests/support/files.h"

namespace hostile {

using swtest::CapturedStderr;
using swtest::ReadFile;
using swtest::TempDir;
using swtest::WriteFile;

// The agent's rule: the header block holds `marker` (any case) -> move to
// `folder`. The structures live as long as the object.
struct AgentRule {
    std::string marker;
    std::vector<BYTE> store_id;
    std::vector<BYTE> folder_id;
    SPropValue marker_value{};
    SRestriction condition{};
    ACTION action{};
    ACTIONS actions{};

    AgentRule(std::string text, std::vector<BYTE> store, std::vector<BYTE> folder)
        : marker(std::move(text)), store_id(std::move(store)), folder_id(std::move(folder)) {
        marker_value.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
        marker_value.Value.lpszA = marker.data();
        condition.rt = RES_CONTENT;
        condition.res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE,
                                    PR_TRANSPORT_MESSAGE_HEADERS, &marker_value};
        action.acttype = OP_MOVE;
        action.actMoveCopy = {
            static_cast<ULONG>(store_id.size()), reinterpret_cast<LPENTRYID>(store_id.data()),
            static_cast<ULONG>(folder_id.size()), reinterpret_cast<LPENTRYID>(folder_id.data())};
        actions = {EDK_RULES_VERSION, 1, &action};
    }
    AgentRule(const AgentRule&) = delete;
    AgentRule& operator=(const AgentRule&) = delete;

    infostore::RuleSpec Spec(const std::string& name = "_Corvane Spam Folder Rule_") const {
        infostore::RuleSpec spec;
        spec.sequence = 1001;
        spec.state = ST_ENABLED;
        spec.level = 0;
        spec.provider = "MSExchange.Rules";
        spec.name = name;
        spec.condition = &condition;
        spec.actions = &actions;
        return spec;
    }
};

// A store file with server "mail1" and mailbox "alice", who has a folder
// "Spam" below her top folder.
class StoreFile {
public:
    explicit StoreFile(const std::string& path) : path_(path) {}
    ~StoreFile() {
        admin_.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            ::unlink((path_ + suffix).c_str());
        }
    }
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    // Creates the store; false (with a test failure) when that fails.
    bool Create() {
        HRESULT hr = infostore::Admin::Create(path_, "Example", "Lab", &admin_);
        EXPECT_EQ(hr, S_OK) << (admin_ ? admin_->LastError() : "");
        if (FAILED(hr)) {
            return false;
        }
        EXPECT_EQ(admin_->AddServer("mail1"), S_OK) << admin_->LastError();
        EXPECT_EQ(admin_->AddMailbox("alice", "mail1", "Alice", &alice_), S_OK)
            << admin_->LastError();
        EXPECT_EQ(admin_->CreateFolder("alice", "Spam", &spam_), S_OK) << admin_->LastError();
        EXPECT_EQ(admin_->StoreEntryId("alice", &store_id_), S_OK) << admin_->LastError();
        return !::testing::Test::HasFailure();
    }

    // Adds the agent's rule for `marker`; its id, or 0 after a failure.
    std::int64_t AddAgentRule(const std::string& marker) {
        AgentRule rule(marker, store_id_, spam_.entry_id);
        std::int64_t id = 0;
        EXPECT_EQ(admin_->AddRule("alice", "", rule.Spec(), &id), S_OK) << admin_->LastError();
        return id;
    }

    // Delivers `message` to alice and returns the folder it ended up in
    // ("" after a failure, which is reported).
    std::string Deliver(const std::string& message) {
        infostore::DeliveryResult result;
        HRESULT hr = admin_->Deliver("alice", message, infostore::DeliveryOptions(), &result);
        EXPECT_EQ(hr, S_OK) << admin_->LastError();
        last_id_ = result.message_id;
        return FAILED(hr) ? std::string() : result.folder_path;
    }

    // The message delivered last, as stored.
    infostore::MessageInfo Last() {
        std::vector<infostore::MessageInfo> messages;
        EXPECT_EQ(admin_->ListMessages("alice", "", &messages), S_OK);
        for (const auto& m : messages) {
            if (m.id == last_id_) {
                return m;
            }
        }
        ADD_FAILURE() << "the last message is not in the store";
        return {};
    }

    // Closes the store's connection (a later Reopen opens it again).
    void Close() { admin_.reset(); }
    HRESULT Reopen() { return infostore::Admin::Open(path_, &admin_); }

    infostore::Admin& admin() { return *admin_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::unique_ptr<infostore::Admin> admin_;
    infostore::MailboxInfo alice_;
    infostore::FolderInfo spam_;
    std::vector<BYTE> store_id_;
    std::int64_t last_id_ = 0;
};

} // namespace hostile
