// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the decoder of hand-off messages that a later start of the
// program sends to the running one over the local socket
// (InstanceLink::decodeMessage), as the receiver uses it: bytes arrive in
// pieces and every whole message is taken off the front of the buffer.
//
// Input: the bytes a peer writes.
//
// Checked:
//   - a decoded message is a path without NUL, empty only for the message
//     without a path (the header alone), and encoding that path gives back
//     exactly the bytes it was decoded from;
//   - "need more" is said only while the buffer could still become a valid
//     message, so a peer can never make the receiver hold more than one
//     largest message;
//   - growing the buffer never changes a verdict already given: a refused
//     prefix stays refused and a whole message stays the same message;
//   - any path (decoded from the input as UTF-8) survives encoding and
//     decoding unchanged.

#include "FuzzCheck.h"
#include "state/InstanceLink.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

using Decoded = InstanceLink::Decoded;
constexpr qsizetype HeaderBytes = 8;

struct Verdict
{
    Decoded decoded;
    qsizetype consumed = -1;
    QString path;
};

Verdict decode(const QByteArray &buffer)
{
    Verdict v;
    v.decoded = InstanceLink::decodeMessage(buffer, &v.consumed, &v.path);
    if (v.decoded == Decoded::Message) {
        FUZZ_CHECK(v.consumed >= HeaderBytes && v.consumed <= buffer.size());
        FUZZ_CHECK(v.consumed - HeaderBytes <= InstanceLink::MaxPathBytes);
        FUZZ_CHECK(v.path.isEmpty() == (v.consumed == HeaderBytes) && !v.path.contains(QChar(0)));
        FUZZ_CHECK(InstanceLink::encodeMessage(v.path) == buffer.left(v.consumed));
    } else if (v.decoded == Decoded::NeedMore) {
        FUZZ_CHECK(buffer.size() < HeaderBytes + InstanceLink::MaxPathBytes);
        FUZZ_CHECK(QByteArrayLiteral("TRL1").startsWith(buffer.left(4)));
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The receiver's loop: bytes arrive one at a time (the worst cutting),
    // whole messages leave the front of the buffer.
    QByteArray buffer;
    for (qsizetype i = 0; i < input.size(); ++i) {
        buffer.append(input[i]);
        const Verdict v = decode(buffer);
        if (v.decoded == Decoded::Malformed) {
            // Refused for good: more bytes do not make it acceptable.
            FUZZ_CHECK(decode(buffer + input.mid(i + 1)).decoded == Decoded::Malformed);
            break;
        }
        if (v.decoded == Decoded::Message) {
            const Verdict whole = decode(buffer + input.mid(i + 1));
            FUZZ_CHECK(whole.decoded == Decoded::Message && whole.consumed == v.consumed &&
                       whole.path == v.path);
            buffer.remove(0, v.consumed);
        }
    }

    const QString path = QString::fromUtf8(input);
    if (!path.contains(QChar(0))) {
        const QByteArray message = InstanceLink::encodeMessage(path);
        const Verdict v = decode(message);
        FUZZ_CHECK(v.decoded == Decoded::Message && v.consumed == message.size() && v.path == path);
    }
    return 0;
}
