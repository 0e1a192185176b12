// A data directory with ITEM.DBF (NOME C 10, QTD N 5, COD C 6; 120 records)
// and three indexes on it, a manager served in-process in child processes
// (so a killed one leaves the test running), and the checks made after it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/manager/support.h"

namespace jtest {

// A request as the terminal at address 5 sends it.
struct Request {
    std::uint8_t code;
    std::vector<std::uint8_t> data;
};

// Name and value pairs after the parameter bytes `head`.
std::vector<std::uint8_t> Pairs(std::vector<std::uint8_t> head,
                                const std::vector<std::pair<std::string, std::string>>& pairs);

// Runs fn in a child process: its return value is the exit status; a child
// killed by a signal gives 128 + the signal.
int InChild(const std::function<int()>& fn);

class JournalDir : public ::testing::Test {
  protected:
    void SetUp() override;

    // Puts the pristine files back and removes the journal and the log.
    void Reset();
    // Writes talvo.cfg with the commit flag as given.
    void Configure(bool commit);

    // Starts the manager in-process (in the calling child), opens ITEM.DBF
    // with ITNOME.NTX for the terminal, goes to record 5, then serves
    // `requests`; returns the answers' codes and status bytes. Start-up
    // failure: false.
    struct Answer {
        std::uint8_t code;
        int status; // byte 3 of a record image, -1 without one
    };
    // `before` runs just before the requests (to arm a fault).
    static bool Serve(const std::vector<Request>& requests, std::vector<Answer>* answers,
                      bool stop = true, const std::function<void()>& before = nullptr);

    // One more request to the manager Serve left running.
    static Answer Ask(std::uint8_t code, const std::vector<std::uint8_t>& data);

    // The table's records from byte 4 on (the date aside), then each
    // index's key-order dump: what "the state" of the files is.
    std::string State();
    // dbftool check over the three indexes: its exit status.
    int Check();
    // Starts and stops the manager: 0 when it started.
    int Restart();
    // Starts and stops the manager: its start-up message ("" when it started).
    std::string StartUp();

    mtest::ScratchDir dir;
    std::vector<std::pair<std::string, std::string>> pristine;
};

} // namespace jtest
