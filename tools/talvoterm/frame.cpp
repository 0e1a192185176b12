// Link frames as a terminal sees them: encoder with stuffing and the two
// checksum rules, the request builder with deliberate faults, and the
// byte-by-byte decoder of the PC's frames.
#include "tools/talvoterm/frame.h"

#include <utility>

namespace talvoterm {

std::uint8_t CheckSum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(255u - (sum & 0xFFu));
}

namespace {

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void EncodeWithLength(std::uint16_t dest, std::uint16_t source, std::uint8_t code,
                      std::uint16_t length_field, std::span<const std::uint8_t> data, SumRule rule,
                      std::vector<std::uint8_t>& out, bool stuff = true) {
    out.clear();
    out.reserve(12 + 2 * data.size());
    out.push_back(kDle);
    out.push_back(kStx);
    PutWord(out, dest);
    PutWord(out, source);
    out.push_back(code);
    PutWord(out, length_field);
    unsigned doubled = 0;
    for (std::uint8_t b : data) {
        out.push_back(b);
        if (b == kDle && stuff) {
            out.push_back(kDle);
            ++doubled;
        }
    }
    out.push_back(kDle);
    out.push_back(kEtx);
    unsigned sum = 0;
    for (std::uint8_t b : out) sum += b;
    if (rule == SumRule::collapsed) sum -= doubled * kDle;
    out.push_back(static_cast<std::uint8_t>(255u - (sum & 0xFFu)));
}

} // namespace

void EncodeFrame(std::uint16_t dest, std::uint16_t source, std::uint8_t code,
                 std::span<const std::uint8_t> data, SumRule rule, std::vector<std::uint8_t>& out) {
    // The length field carries 16 bits; longer data areas are only made on
    // purpose, and their field wraps.
    EncodeWithLength(dest, source, code, static_cast<std::uint16_t>(data.size() & 0xFFFF), data,
                     rule, out);
}

void BuildRequest(std::uint16_t address, std::uint8_t code, std::span<const std::uint8_t> data,
                  Fault fault, int arg, Outgoing& out) {
    out.cut = 0;
    std::uint16_t source = address;
    if (fault == Fault::bad_source) source = static_cast<std::uint16_t>(address + 1);
    if (fault == Fault::code9) code = kCodeNoAck;

    std::vector<std::uint8_t> padded;
    if (fault == Fault::oversize) {
        std::size_t want = arg > 0 ? static_cast<std::size_t>(arg) : kMaxRequestData + 1;
        if (want > 4000) want = 4000;
        padded.assign(data.begin(), data.end());
        if (padded.size() < want) padded.resize(want, 'X');
        data = padded;
    }

    std::uint16_t length_field = static_cast<std::uint16_t>(data.size() & 0xFFFF);
    // A wrong length field goes out with a checksum that is right for it,
    // so the length test alone refuses the frame.
    if (fault == Fault::bad_length) length_field = static_cast<std::uint16_t>(length_field + 1);
    if (fault == Fault::raw) {
        out.bytes.assign(data.begin(), data.end());
        return;
    }
    EncodeWithLength(kPcAddress, source, code, length_field, data, SumRule::collapsed, out.bytes,
                     fault != Fault::no_double);
    std::vector<std::uint8_t>& f = out.bytes;
    switch (fault) {
    case Fault::bad_checksum: f.back() = static_cast<std::uint8_t>(~f.back()); break;
    case Fault::stray_byte:
        f.insert(f.begin(), static_cast<std::uint8_t>(arg > 0 && arg <= 255 ? arg : 0xAA));
        break;
    case Fault::missing_lead: {
        std::size_t n = arg > 0 ? static_cast<std::size_t>(arg) : 1;
        if (n > 8) n = 8;
        f.erase(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
        break;
    }
    case Fault::pause_header: out.cut = 5; break;
    case Fault::pause_data: out.cut = 9; break;
    default: break;
    }
}

bool FrameDecoder::reset() {
    bool was = in_frame();
    state_ = State::hunt;
    cur_.raw.clear();
    cur_.data.clear();
    return was;
}

FrameDecoder::Result FrameDecoder::feed(std::uint8_t byte, Frame& out) {
    switch (state_) {
    case State::hunt:
        if (byte == kDle)
            state_ = State::dle;
        else
            ++noise_;
        return Result::more;
    case State::dle:
        if (byte == kStx) {
            cur_.raw.clear();
            cur_.data.clear();
            cur_.raw.push_back(kDle);
            cur_.raw.push_back(kStx);
            cur_.stuffing_ok = true;
            header_count_ = 0;
            state_ = State::header;
        } else if (byte == kDle) {
            ++noise_; // the earlier 0x10 was noise, this one may start a frame
        } else {
            noise_ += 2;
            state_ = State::hunt;
        }
        return Result::more;
    default: break;
    }

    if (cur_.raw.size() >= kMaxRawFrame) {
        reset();
        return Result::dropped;
    }
    cur_.raw.push_back(byte);
    switch (state_) {
    case State::header:
        if (++header_count_ == 7) state_ = State::data;
        return Result::more;
    case State::data:
        if (byte == kDle)
            state_ = State::data_dle;
        else
            cur_.data.push_back(byte);
        return Result::more;
    case State::data_dle:
        if (byte == kEtx) {
            state_ = State::checksum;
        } else if (byte == kDle) {
            cur_.data.push_back(kDle);
            state_ = State::data;
        } else {
            // A lone 0x10 inside the data: keep both bytes, mark the frame.
            cur_.stuffing_ok = false;
            cur_.data.push_back(kDle);
            cur_.data.push_back(byte);
            state_ = State::data;
        }
        return Result::more;
    case State::checksum: {
        const std::vector<std::uint8_t>& r = cur_.raw;
        cur_.dest = static_cast<std::uint16_t>((r[2] << 8) | r[3]);
        cur_.source = static_cast<std::uint16_t>((r[4] << 8) | r[5]);
        cur_.code = r[6];
        cur_.length_field = static_cast<std::uint16_t>((r[7] << 8) | r[8]);
        cur_.length_ok = cur_.length_field == cur_.data.size();
        cur_.checksum_ok = CheckSum(std::span(r.data(), r.size() - 1)) == r.back();
        std::swap(out, cur_);
        state_ = State::hunt;
        cur_.raw.clear();
        cur_.data.clear();
        return Result::frame;
    }
    default: break;
    }
    return Result::more;
}

} // namespace talvoterm
