// Named limits of the protocol servers. They hold whatever MaxDataSize says,
// so that no client can make a server buffer without bound: the service runs
// with MaxDataSize -1 (no configured limit).
#pragma once

#include <cstdint>

// One command line, or one continuation line of an exchange (AUTH): beyond
// this the client gets the size reply and the connection is closed.
constexpr int64_t qvMaxCommandLineBytes = 64 * 1024;
// One data block (DATA) or literal: beyond this it is skipped to its end and
// refused with the size error, as a configured MaxDataSize would be.
constexpr int64_t qvMaxDataBlockBytes = 256 * 1024 * 1024;
// A data block (DATA) or literal larger than this goes to a spool file in
// the store as it arrives instead of to memory, where a store offers one.
constexpr int64_t qvSpoolThresholdBytes = 1024 * 1024;
// What one read work item takes from the socket before the commands it holds
// are handled; the rest waits for the next read event.
constexpr int64_t qvMaxBytesPerRead = 256 * 1024;
// Levels of an IMAP mailbox below the user's folder that a listing descends.
constexpr int qvMaxMailBoxLevels = 32;
// MIME parts inside one another (multiparts and forwarded messages together)
// that FETCH takes apart; a part deeper than this is described as an opaque
// leaf, so no client's message makes the describing code recurse further.
constexpr int qvMaxImapMimeDepth = 100;
// Parentheses, NOT and OR inside one another in a SEARCH program; deeper
// programs are answered BAD.
constexpr int qvMaxImapSearchNesting = 100;
// Output of one connection that its client has not taken yet: a command
// that would add more waits (its worker set aside, the others go on) until
// the socket drains below this, so a client that does not read holds at
// most this much of the server's memory whatever it asked for.
constexpr int64_t qvMaxPendingOutputBytes = 2 * 1024 * 1024;
