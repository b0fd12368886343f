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
// Forwarded messages (message/rfc822 parts) inside one another that FETCH
// describes with their own envelope and structure; each level is parsed
// again, so deeper ones are described as empty messages.
constexpr int qvMaxImapMessageNesting = 8;
