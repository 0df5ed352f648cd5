#include "Report.h"

#include "AddressText.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

double percent(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

double micros(std::uint64_t ns) {
    return static_cast<double>(ns) / 1000.0;
}

std::string latencyText(const char *name, const LatencyStats::Summary &s) {
    return format("  %-16s n=%zu  min %.1f  median %.1f  p99 %.1f  max %.1f us\n", name, s.count,
                  micros(s.minNs), micros(s.medianNs), micros(s.p99Ns), micros(s.maxNs));
}

std::string latencyJson(const LatencyStats::Summary &s) {
    return format("{\"count\": %zu, \"min\": %.3f, \"median\": %.3f, \"p99\": %.3f, \"max\": %.3f}",
                  s.count, micros(s.minNs), micros(s.medianNs), micros(s.p99Ns), micros(s.maxNs));
}

// Link descriptions are ours or interface names; escape what JSON needs.
std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += format("\\u%04x", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

RunFigures computeFigures(const RunResult &result) {
    const BookCounters &c = result.counters;
    RunFigures figures;
    figures.exchangesPerSecond =
        result.elapsedS > 0 ? static_cast<double>(c.completed) / result.elapsedS : 0.0;
    figures.dropsPercent = percent(c.timeouts, c.discoversSent + c.requestsSent);
    figures.failedExchangesPercent = percent(c.failedTimeout + c.failedNak, c.started);
    return figures;
}

std::string formatText(const RunResult &r) {
    const BookCounters &c = r.counters;
    const LinkCounters &l = r.linkCounters;
    const RunFigures f = computeFigures(r);
    std::string out;
    out += format("dhcpload over %s\n", r.link.c_str());
    out += format("  guests %u  window %u  offered rate %s  timeout %.0f ms  retries %u\n",
                  r.config.book.guests, r.config.book.window,
                  r.config.rate > 0 ? format("%.0f/s", r.config.rate).c_str() : "max",
                  static_cast<double>(r.config.book.timeoutNs) / 1e6, r.config.book.retries);
    out += format("  exchanges: %" PRIu64 " started, %" PRIu64 " completed, %" PRIu64
                  " timed out, %" PRIu64 " refused (NAK)\n",
                  c.started, c.completed, c.failedTimeout, c.failedNak);
    out += format("  rate: %.1f exchanges/s over %.3f s\n", f.exchangesPerSecond, r.elapsedS);
    out += format("  drops: %.2f %% of %" PRIu64 " messages (%" PRIu64 " retransmitted); %.2f %%"
                  " of exchanges failed\n",
                  f.dropsPercent, c.discoversSent + c.requestsSent, c.retransmits,
                  f.failedExchangesPercent);
    out += latencyText("DISCOVER->OFFER", r.offerLatency);
    out += latencyText("REQUEST->ACK", r.ackLatency);
    out += format("  replies: %" PRIu64 " offers, %" PRIu64 " acks, %" PRIu64 " naks, %" PRIu64
                  " unmatched, %" PRIu64 " late, %" PRIu64 " bad, %" PRIu64
                  " ack for another address\n",
                  c.offers, c.acks, c.naks, c.unmatched, c.late, c.badReplies, c.ackMismatches);
    out += format(
        "  frames: %" PRIu64 " read, %" PRIu64 " other traffic, %" PRIu64 " truncated, %" PRIu64
        " bad checksum, %" PRIu64 " malformed, %" PRIu64 " send errors\n",
        l.framesRead, l.framesIgnored, l.truncated, l.badChecksum, l.malformed, l.sendErrors);
    out += format("  duplicate addresses: %" PRIu64 " offered, %" PRIu64 " acknowledged%s\n",
                  c.duplicateOffers, c.duplicateAcks,
                  c.duplicateOffers + c.duplicateAcks > 0 ? "  <-- ERROR" : "");
    for (const std::uint32_t address : r.duplicateExamples) {
        out += "    " + formatAddress(address) + "\n";
    }
    if (r.interrupted) {
        out += "  interrupted: no exchanges started after the signal\n";
    }
    if (r.linkFailed) {
        out += "  the link failed during the run\n";
    }
    return out;
}

std::string formatJson(const RunResult &r) {
    const BookCounters &c = r.counters;
    const LinkCounters &l = r.linkCounters;
    const RunFigures f = computeFigures(r);
    std::string out = "{\n";
    out += "  \"link\": " + jsonString(r.link) + ",\n";
    out += format("  \"guests\": %u,\n  \"window\": %u,\n  \"offered_rate\": %.3f,\n"
                  "  \"timeout_ms\": %.3f,\n  \"retries\": %u,\n",
                  r.config.book.guests, r.config.book.window, r.config.rate,
                  static_cast<double>(r.config.book.timeoutNs) / 1e6, r.config.book.retries);
    out += format("  \"elapsed_s\": %.6f,\n  \"exchanges_per_s\": %.3f,\n  \"drops_pct\": %.4f,\n"
                  "  \"failed_exchanges_pct\": %.4f,\n",
                  r.elapsedS, f.exchangesPerSecond, f.dropsPercent, f.failedExchangesPercent);
    const std::pair<const char *, std::uint64_t> counts[] = {
        {"started", c.started},
        {"completed", c.completed},
        {"failed_timeout", c.failedTimeout},
        {"failed_nak", c.failedNak},
        {"discovers_sent", c.discoversSent},
        {"requests_sent", c.requestsSent},
        {"retransmits", c.retransmits},
        {"timeouts", c.timeouts},
        {"offers", c.offers},
        {"acks", c.acks},
        {"naks", c.naks},
        {"unmatched", c.unmatched},
        {"late", c.late},
        {"bad_replies", c.badReplies},
        {"ack_mismatches", c.ackMismatches},
        {"duplicate_offers", c.duplicateOffers},
        {"duplicate_acks", c.duplicateAcks},
        {"frames_read", l.framesRead},
        {"frames_ignored", l.framesIgnored},
        {"truncated", l.truncated},
        {"bad_checksum", l.badChecksum},
        {"malformed", l.malformed},
        {"send_errors", l.sendErrors},
    };
    for (const auto &[name, value] : counts) {
        out += format("  \"%s\": %" PRIu64 ",\n", name, value);
    }
    out += "  \"duplicate_examples\": [";
    for (std::size_t i = 0; i < r.duplicateExamples.size(); ++i) {
        out += (i ? ", \"" : "\"") + formatAddress(r.duplicateExamples[i]) + "\"";
    }
    out += "],\n";
    out += "  \"latency_us\": {\"offer\": " + latencyJson(r.offerLatency) +
           ", \"ack\": " + latencyJson(r.ackLatency) + "},\n";
    out += format("  \"interrupted\": %s,\n  \"link_failed\": %s\n}\n",
                  r.interrupted ? "true" : "false", r.linkFailed ? "true" : "false");
    return out;
}

std::string formatResponderText(const ResponderCounters &c) {
    return format("dhcpload responder: %" PRIu64 " frames read, %" PRIu64 " offers, %" PRIu64
                  " acks, %" PRIu64 " ignored, %" PRIu64 " send errors\n",
                  c.framesRead, c.offers, c.acks, c.ignored, c.sendErrors);
}

std::string formatResponderJson(const ResponderCounters &c) {
    return format("{\"frames_read\": %" PRIu64 ", \"offers\": %" PRIu64 ", \"acks\": %" PRIu64
                  ", \"ignored\": %" PRIu64 ", \"send_errors\": %" PRIu64 "}\n",
                  c.framesRead, c.offers, c.acks, c.ignored, c.sendErrors);
}
