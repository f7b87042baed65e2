#include "publisher/serving/proxy_reader.h"

#include <string>

namespace publisher {
namespace {

ProxyHeader Refused(std::string reason) {
    ProxyHeader h;
    h.verdict = ProxyHeader::Verdict::Invalid;
    h.reason = std::move(reason);
    return h;
}

} // namespace

ProxyReader::ProxyReader(asio::ip::tcp::socket socket, std::chrono::steady_clock::duration limit)
    : socket_(std::move(socket)), deadline_(socket_.get_executor()), limit_(limit) {}

void ProxyReader::Start(Finished finished) {
    finished_ = std::move(finished);
    asio::error_code ec;
    socket_.non_blocking(true, ec);
    deadline_.expires_after(limit_);
    deadline_.async_wait([self = shared_from_this()](const asio::error_code& e) {
        if (!e && !self->over_)
            self->Finish(Refused(
                "no whole header within " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(self->limit_).count()) +
                " s"));
    });
    Wait();
}

void ProxyReader::Cancel() {
    over_ = true;
    finished_ = nullptr;
    asio::error_code ec;
    socket_.close(ec);
    deadline_.cancel();
}

void ProxyReader::Wait() {
    socket_.async_wait(asio::ip::tcp::socket::wait_read,
                       [self = shared_from_this()](const asio::error_code& ec) { self->OnReadable(ec); });
}

void ProxyReader::OnReadable(const asio::error_code& waitError) {
    if (over_)
        return;
    if (waitError) {
        Finish(Refused("read failed: " + waitError.message()));
        return;
    }
    // Peek first: only the parser knows where the header ends, and nothing behind it may be taken.
    const size_t have = header_.size();
    header_.resize(kMaxProxyHeader);
    asio::error_code ec;
    const size_t seen =
        socket_.receive(asio::buffer(header_.data() + have, header_.size() - have), socket_.message_peek, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        header_.resize(have);
        Wait();
        return;
    }
    if (ec) {
        Finish(Refused(ec == asio::error::eof ? "closed before the header ended"
                                              : "read failed: " + ec.message()));
        return;
    }
    header_.resize(have + seen);
    const ProxyHeader header = ParseProxyHeader(header_);
    if (header.verdict == ProxyHeader::Verdict::Invalid) {
        Finish(header);
        return;
    }
    // Unfinished, all that was seen is header; finished, only up to its end.
    const bool done = header.verdict == ProxyHeader::Verdict::Done;
    const size_t take = done ? header.length - have : seen;
    const size_t taken = socket_.receive(asio::buffer(header_.data() + have, take), 0, ec);
    if (ec || taken != take) {
        Finish(Refused("read failed: " + (ec ? ec.message() : std::string("bytes went missing"))));
        return;
    }
    header_.resize(have + take);
    if (done)
        Finish(header);
    else
        Wait();
}

void ProxyReader::Finish(const ProxyHeader& header) {
    over_ = true;
    deadline_.cancel();
    std::vector<uint8_t>().swap(header_);
    if (auto finished = std::move(finished_))
        finished(header);
}

} // namespace publisher
