// One mailbox to be processed in a pass.
#pragma once
#include "runtime/vtxpr_limits.h"

// Created by run_pass for every mailbox of the home server, owned by the
// work queue until a worker takes it, and destroyed by that worker when done
// (or by the pool's stop when no worker took it).
class mailbox_work_item {
public:
    mailbox_work_item() = default;
    virtual ~mailbox_work_item() = default;
    mailbox_work_item(const mailbox_work_item&) = delete;
    mailbox_work_item& operator=(const mailbox_work_item&) = delete;

    // The mailbox's address (its distinguished name), terminated.
    char16_t address[VTXPR_NAME_CHARS] = {};
};

// The name of the agent's rule in every inbox.
constexpr const char16_t* AGENT_RULE_NAME = u"_Corvane Spam Folder Rule_";
