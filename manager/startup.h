// Start-up and shutdown of the manager: the command line, Initialise (the
// configuration, the table store, every configured text file, table and
// index opened, the lock tables and output records), the port choice, the
// compacted list of polled terminals, the whole start-up sequence, and the
// orderly Shutdown on the quit message.
#pragma once

// Reads the configuration and opens the data files. On failure leaves the
// text to show in MessageBuffer and returns false (what was opened before
// the failure stays open; the program then ends).
bool Initialise();

// Starts the table store with the manager's pools and page budget (benchmarks
// and tests set the store up through it too). 0 / -1.
int StartTableStore();

// Chooses the port: the last enabled of COM1..COM4 becomes PortName, and its
// base address PortBase. No port enabled leaves PortName empty.
void ChoosePort();

// Builds PolledAddress / PolledSlot / PolledCount from the configured
// addresses (slot order, empty slots left out) and sets every terminal's
// TerminalFile and TerminalIndex to -1.
void BuildPolledList();

// The slot of a request from `address`: the PolledSlot of the last polled
// entry with that address; -1 when the address is not polled.
int SlotOfAddress(unsigned address);

// Releases every terminal's locks, writes back and commits the open tables
// and indexes, closes the text files, frees the lock tables and output
// records and closes every table.
void Shutdown();

inline constexpr const char* kPortOpenError = " na Abertura da Porta de Comunicacao";
inline constexpr const char* kPortCloseError = " ao Fechar Porta de Comunicacao";

// Shows "Erro " + number in decimal + text (a port failure) in a message box
// with the default caption and the exclamation icon, and tells the operator
// on standard error the port, its path and the reason.
void ShowPortError(unsigned number, const char* text);

// The whole program: the command line (--help, --version and --status end
// here), start-up steps in order, the main loop, the exit status (0 after an
// orderly stop, 1 after a failure or when another copy was running, which is
// then stopped, 2 for a refused command line).
int RunManager(int argc, const char* const* argv);
