// latency_probe: measures what a listener gets from a sound path, the way a program in a call
// hears it. It plays a continuous test voice into the sink that feeds the test microphone,
// records the test microphone and what the listener records (e.g. the virtual microphone) at
// the same time, and optionally plays spells of a second voice, with idle stretches between,
// into a sink (e.g. the virtual speaker) while recording that sink's monitor and the test
// speakers' monitor. It prints one line of results per path (see usage()).

#include "machine_stalls.h"
#include "path_analysis.h"
#include "pulse_probe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>

using namespace timbrelo::bench;

namespace {

void usage() {
    std::fputs(
        "usage: latency_probe --feed SINK --reference SOURCE --listen SOURCE [options]\n"
        "\n"
        "Plays a continuous test voice into SINK (which feeds the microphone SOURCE) and\n"
        "compares what the listener records from --listen with the microphone.\n"
        "\n"
        "options:\n"
        "  --seconds S        how long the listener records (default 20)\n"
        "  --render-sink SINK also play spells of another voice into SINK (the default\n"
        "                     speaker) and compare its monitor with the monitor of\n"
        "  --speakers SINK    the speakers where the sound should come out\n"
        "  --render-on S      length of a spell of sound (default 8)\n"
        "  --render-off S     idle stretch between spells (default 4)\n"
        "  --dump DIR         write the recordings (WAV), timing points and delays to DIR\n"
        "  --analyse DIR      no sound server: analyse again what --dump wrote to DIR (the\n"
        "                     delays, gaps and spells go to DIR, or to --dump DIR)\n"
        "\n"
        "Output: one line per path, \"mic\" and \"render\", of key=value pairs (times in ms):\n"
        "  delay (median), p5, p95, min, max    the delay of the output against the input\n"
        "  early, late                          its median over the first and last fifth\n"
        "  windows, matched, exact              stretches compared, lined up, lined up by\n"
        "                                       the waveform (the output copies the input)\n"
        "  gaps, gap_ms, gap_max_ms, lost_pct   silence in the output while the input had\n"
        "                                       voice: count, total, longest, share of voice\n"
        "  skips, skipped_ms                    steps down of the delay: audio left out\n"
        "  inserts, inserted_ms                 steps up (nan where the output is no copy)\n"
        "  first_ms                             from the output stream's start to its voice\n"
        "  clock_ppm, jitter_ms                 output clock against the input's; how late\n"
        "                                       the probe's reads came\n"
        "  spells, unheard                      (render) sounds after an idle stretch, and\n"
        "                                       how many never came out\n"
        "  start_ms, start_lost_ms              (render) when the first sound came out and how\n"
        "                                       much of its beginning was cut off\n"
        "  idle_ms, idle_lost_ms                (render) the same, the worst of the later ones\n"
        "  gaps_after_stall                     gaps that began during or just after a stall\n"
        "                                       of the machine (see \"machine\")\n"
        "and a \"machine\" line: stalls (wake-ups of an ordinary thread at a sound server's\n"
        "main-thread niceness, 10 ms or more late), stall_ms (their total), stall_max_ms, and\n"
        "nice (the niceness it got).\n"
        "A path that could not be measured prints \"problem=\" and why; the exit status is\n"
        "then 1. Warnings start with \"warning:\".\n",
        stderr);
}

struct Options {
    double seconds = 20;
    std::string feed, reference, listen, renderSink, speakers, dump, analyse;
    double renderOn = 8, renderOff = 4;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "latency_probe: %s needs a value\n", a.c_str());
            return false;
        }
        const std::string v = argv[++i];
        auto number = [&](double& into) {
            char* end = nullptr;
            into = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(into > 0)) {
                std::fprintf(stderr, "latency_probe: %s takes a positive number, not \"%s\"\n",
                             a.c_str(), v.c_str());
                return false;
            }
            return true;
        };
        if (a == "--seconds") {
            if (!number(o.seconds)) {
                return false;
            }
        } else if (a == "--render-on") {
            if (!number(o.renderOn)) {
                return false;
            }
        } else if (a == "--render-off") {
            if (!number(o.renderOff)) {
                return false;
            }
        } else if (a == "--feed") {
            o.feed = v;
        } else if (a == "--reference") {
            o.reference = v;
        } else if (a == "--listen") {
            o.listen = v;
        } else if (a == "--render-sink") {
            o.renderSink = v;
        } else if (a == "--speakers") {
            o.speakers = v;
        } else if (a == "--dump") {
            o.dump = v;
        } else if (a == "--analyse") {
            o.analyse = v;
        } else {
            std::fprintf(stderr, "latency_probe: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (!o.analyse.empty()) {
        return true;
    }
    if (o.feed.empty() || o.reference.empty() || o.listen.empty()) {
        usage();
        return false;
    }
    if (o.renderSink.empty() != o.speakers.empty()) {
        std::fputs("latency_probe: --render-sink and --speakers go together\n", stderr);
        return false;
    }
    if (o.seconds < 3) {
        std::fputs("latency_probe: --seconds must be at least 3\n", stderr);
        return false;
    }
    return true;
}

std::string ms(double seconds) {
    if (std::isnan(seconds)) {
        return "nan";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds * 1000);
    return text;
}

// Prints a path's line; false when it could not be measured (the problem is in the line).
// `stalls` is null when the machine was not watched (an analysis of a dump).
bool printPath(const char* name, const PathReport& r,
               const std::vector<MachineStall>* stalls = nullptr) {
    if (!r.problem.empty()) {
        std::printf("%s problem=\"%s\"\n", name, r.problem.c_str());
        std::fprintf(stderr, "latency_probe: %s path: %s\n", name, r.problem.c_str());
        return false;
    }
    double gapMax = 0;
    for (const Gap& g : r.gaps) {
        gapMax = std::max(gapMax, g.seconds);
    }
    auto count = [](int n) { return n < 0 ? std::string("nan") : std::to_string(n); };
    std::printf(
        "%s delay=%s p5=%s p95=%s min=%s max=%s early=%s late=%s windows=%zu "
        "matched=%zu exact=%zu "
        "gaps=%zu gap_ms=%s gap_max_ms=%s lost_pct=%.1f skips=%s skipped_ms=%s "
        "inserts=%s inserted_ms=%s first_ms=%s clock_ppm=%.0f jitter_ms=%s",
        name, ms(r.median).c_str(), ms(r.p5).c_str(), ms(r.p95).c_str(), ms(r.min).c_str(),
        ms(r.max).c_str(), ms(r.early).c_str(), ms(r.late).c_str(), r.windows, r.delays.size(),
        r.exact, r.gaps.size(), ms(r.gapSeconds).c_str(), ms(gapMax).c_str(),
        r.expectedSeconds > 0 ? 100 * r.gapSeconds / r.expectedSeconds : 0.0,
        count(r.skips).c_str(), ms(r.skippedSeconds).c_str(), count(r.inserts).c_str(),
        ms(r.insertedSeconds).c_str(), ms(r.firstVoice).c_str(), r.clockPpm, ms(r.jitter).c_str());
    if (!r.spells.empty()) {
        // The first sound (the first since the path came up) and the worst of the later ones.
        const SpellStart& first = r.spells.front();
        int unheard = 0;
        double onset = NAN, lost = NAN;
        for (size_t i = 0; i < r.spells.size(); ++i) {
            const SpellStart& s = r.spells[i];
            unheard += !s.heard;
            if (i > 0 && s.heard) {
                onset = std::isnan(onset) ? s.onset : std::max(onset, s.onset);
                lost = std::isnan(lost) ? s.lost : std::max(lost, s.lost);
            }
        }
        std::printf(" spells=%zu unheard=%d start_ms=%s start_lost_ms=%s idle_ms=%s "
                    "idle_lost_ms=%s",
                    r.spells.size(), unheard, ms(first.onset).c_str(),
                    ms(std::max(0.0, first.lost)).c_str(), ms(onset).c_str(),
                    ms(std::isnan(lost) ? lost : std::max(0.0, lost)).c_str());
    }
    if (stalls != nullptr) {
        std::printf(" gaps_after_stall=%zu", gapsAfterStalls(r.gaps, *stalls));
    }
    std::printf("\n");
    return true;
}

void printMachine(const MachineStallWatch& watch) {
    double total = 0, longest = 0;
    for (const MachineStall& s : watch.stalls()) {
        total += s.seconds;
        longest = std::max(longest, s.seconds);
    }
    std::printf("machine stalls=%zu stall_ms=%s stall_max_ms=%s nice=%d\n", watch.stalls().size(),
                ms(total).c_str(), ms(longest).c_str(), watch.niceness());
}

// Writes a recording as a one-channel 16-bit WAV file.
bool writeWav(const std::string& path, const Recording& r) {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(r.samples.size() * 2);
    const auto rate = static_cast<uint32_t>(r.rate);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(r.samples.data()), bytes);
    return static_cast<bool>(out);
}

void dump(const std::string& dir, const std::string& name, const Recording& r) {
    writeWav(dir + "/" + name + ".wav", r);
    std::ofstream meta(dir + "/" + name + ".meta");
    meta.precision(12);
    meta << r.rate << ' ' << r.connectTime << ' ' << r.overflows << ' ' << r.holeFrames << '\n';
    std::ofstream timing(dir + "/" + name + ".timing.csv");
    timing << "frame,time\n";
    timing.precision(12);
    for (const ClockPoint& p : r.timing) {
        timing << p.frame << ',' << p.time << '\n';
    }
}

// Reads back what dump() wrote; false when the files are not there.
bool load(const std::string& dir, const std::string& name, Recording& r) {
    std::ifstream meta(dir + "/" + name + ".meta");
    std::ifstream wav(dir + "/" + name + ".wav", std::ios::binary);
    std::ifstream timing(dir + "/" + name + ".timing.csv");
    if (!(meta >> r.rate >> r.connectTime >> r.overflows >> r.holeFrames) || !wav || !timing) {
        return false;
    }
    wav.seekg(0, std::ios::end);
    const auto bytes = static_cast<size_t>(wav.tellg());
    if (bytes < 44) {
        return false;
    }
    r.samples.resize((bytes - 44) / 2);
    wav.seekg(44);
    wav.read(reinterpret_cast<char*>(r.samples.data()),
             static_cast<std::streamsize>(r.samples.size() * 2));
    std::string line;
    std::getline(timing, line); // the header
    ClockPoint p{};
    char comma = 0;
    while (timing >> p.frame >> comma >> p.time) {
        r.timing.push_back(p);
    }
    return true;
}

void dumpDelays(const std::string& dir, const std::string& name, const PathReport& r) {
    std::ofstream out(dir + "/" + name + ".delays.csv");
    out << "time,delay_ms,match,exact\n";
    out.precision(12);
    for (const DelayPoint& p : r.delays) {
        out << p.time << ',' << p.delay * 1000 << ',' << p.match << ',' << p.exact << '\n';
    }
    std::ofstream spells(dir + "/" + name + ".spells.csv");
    spells << "time,delay_ms,onset_ms,lost_ms,heard\n";
    spells.precision(12);
    for (const SpellStart& s : r.spells) {
        spells << s.time << ',' << s.delay * 1000 << ',' << s.onset * 1000 << ',' << s.lost * 1000
               << ',' << s.heard << '\n';
    }
    std::ofstream gaps(dir + "/" + name + ".gaps.csv");
    gaps << "time,ms\n";
    gaps.precision(12);
    for (const Gap& g : r.gaps) {
        gaps << g.time << ',' << g.seconds * 1000 << '\n';
    }
}

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

int fail(const std::string& message) {
    std::fprintf(stderr, "latency_probe: %s\n", message.c_str());
    return 1;
}

// The machine's stalls a run dumped; false when it dumped none (an older run).
bool loadStalls(const std::string& dir, std::vector<MachineStall>& stalls) {
    std::ifstream in(dir + "/machine.stalls.csv");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    MachineStall s{};
    char comma = 0;
    while (in >> s.time >> comma >> s.seconds) {
        s.seconds /= 1000;
        stalls.push_back(s);
    }
    return true;
}

// Analyses again what an earlier run dumped.
int analyseAgain(const Options& o) {
    Recording mic, heard, renderReference, speakers;
    if (!load(o.analyse, "mic", mic) || !load(o.analyse, "listener", heard)) {
        return fail("no recordings of the microphone and the listener in " + o.analyse);
    }
    std::vector<MachineStall> stallList;
    const std::vector<MachineStall>* stalls =
        loadStalls(o.analyse, stallList) ? &stallList : nullptr;
    const PathReport micReport = analysePath(mic, heard);
    bool measured = printPath("mic", micReport, stalls);
    const std::string out = o.dump.empty() ? o.analyse : o.dump;
    dumpDelays(out, "mic", micReport);
    if (load(o.analyse, "render_reference", renderReference) &&
        load(o.analyse, "speakers", speakers)) {
        const PathReport renderReport = analysePath(renderReference, speakers);
        measured = printPath("render", renderReport, stalls) && measured;
        dumpDelays(out, "render", renderReport);
    }
    return measured ? 0 : 1;
}

// Plays, records and analyses.
int measure(const Options& o) {
    PulseProbe probe;
    std::string error;
    if (!probe.connect(error)) {
        return fail(error);
    }
    const double reserve = o.seconds + 30;
    // Generous buffers for the probe's own players: what they play is recorded before it
    // enters the path measured, so their latency does not count, and they must not run dry.
    const int voice = probe.play(o.feed, 1, 0, 0.2, error);
    if (voice < 0) {
        return fail(error);
    }
    const int reference = probe.record(o.reference, reserve, error);
    if (reference < 0) {
        return fail(error);
    }
    // A new stream into an idle null sink can take a moment to flow.
    const double deadline = monotonicSeconds() + 5;
    while (probe.recentLevel(reference, 0.2) < 0.004) {
        if (monotonicSeconds() > deadline) {
            return fail("the test voice played into " + o.feed + " does not reach " + o.reference +
                        " within 5 s");
        }
        sleepSeconds(0.02);
    }
    sleepSeconds(0.3);
    const int listener = probe.record(o.listen, reserve, error);
    if (listener < 0) {
        return fail(error);
    }
    int renderReference = -1, speakers = -1;
    if (!o.renderSink.empty()) {
        pa_sample_spec spec{};
        std::string renderMonitor, speakersMonitor;
        if (!probe.sinkSpec(o.renderSink, spec, renderMonitor, error) ||
            !probe.sinkSpec(o.speakers, spec, speakersMonitor, error)) {
            return fail(error);
        }
        renderReference = probe.record(renderMonitor, reserve, error);
        speakers = renderReference < 0 ? -1 : probe.record(speakersMonitor, reserve, error);
        if (speakers < 0) {
            return fail(error);
        }
    }

    // A new record stream on an idle sink's monitor can take a second or two to flow; the
    // sounds start once every recording runs.
    const double flowDeadline = monotonicSeconds() + 5;
    for (const int r : {listener, renderReference, speakers}) {
        while (r >= 0 && probe.recordedFrames(r) == 0) {
            if (monotonicSeconds() > flowDeadline) {
                return fail("a recording got no data within 5 s");
            }
            sleepSeconds(0.02);
        }
    }

    MachineStallWatch machine;
    machine.start();
    // Spells of a second voice into the render sink, each a new stream (as a program
    // playing a sound would open one), with idle stretches between.
    const double start = monotonicSeconds();
    const double end = start + o.seconds;
    double nextSpell = start + 0.5;
    int spell = -1;
    double spellDone = 0;
    uint32_t seed = 100;
    while (monotonicSeconds() < end) {
        sleepSeconds(0.02);
        if (!probe.alive()) {
            return fail("the sound server went away");
        }
        const double now = monotonicSeconds();
        if (renderReference >= 0 && spell < 0 && now >= nextSpell && end - now > 2.5) {
            const double length = std::min(o.renderOn, end - now - 0.7);
            spell = probe.play(o.renderSink, seed++, length, 0.1, error);
            if (spell < 0) {
                return fail(error);
            }
            nextSpell = now + length + o.renderOff;
            spellDone = 0;
        }
        if (spell >= 0 && probe.playerDone(spell)) {
            // Let the last of it drain before the stream goes.
            if (spellDone == 0) {
                spellDone = now;
            } else if (now - spellDone > 0.3) {
                probe.stopPlayer(spell);
                spell = -1;
            }
        }
    }
    probe.stopAll();
    machine.stop();

    const Recording& mic = probe.recording(reference);
    const Recording& heard = probe.recording(listener);
    if (probe.playerUnderflows(voice) > 0) {
        std::printf("warning: the test voice ran dry %d times; the probe did not get the CPU "
                    "in time, so gaps in its recordings are not the path's\n",
                    probe.playerUnderflows(voice));
    }
    const std::map<std::string, int> streams = {{"mic", reference},
                                                {"listener", listener},
                                                {"render_reference", renderReference},
                                                {"speakers", speakers}};
    for (const auto& [name, index] : streams) {
        if (index < 0) {
            continue;
        }
        const Recording& r = probe.recording(index);
        if (r.overflows > 0 || r.holeFrames > 0) {
            std::printf("warning: the recording of %s overflowed %d times and lost %llu frames "
                        "(the probe did not read in time)\n",
                        name.c_str(), r.overflows, static_cast<unsigned long long>(r.holeFrames));
        }
        if (!o.dump.empty()) {
            dump(o.dump, name, r);
        }
    }
    const PathReport micReport = analysePath(mic, heard);
    printMachine(machine);
    if (!o.dump.empty()) {
        std::ofstream stalls(o.dump + "/machine.stalls.csv");
        stalls << "time,ms\n";
        stalls.precision(12);
        for (const MachineStall& m : machine.stalls()) {
            stalls << m.time << ',' << m.seconds * 1000 << '\n';
        }
    }
    bool measured = printPath("mic", micReport, &machine.stalls());
    if (!o.dump.empty()) {
        dumpDelays(o.dump, "mic", micReport);
    }
    if (renderReference >= 0) {
        const PathReport renderReport =
            analysePath(probe.recording(renderReference), probe.recording(speakers));
        measured = printPath("render", renderReport, &machine.stalls()) && measured;
        if (!o.dump.empty()) {
            dumpDelays(o.dump, "render", renderReport);
        }
    }
    return measured ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        return 2;
    }
    if (!o.dump.empty() && mkdir(o.dump.c_str(), 0755) != 0 && errno != EEXIST) {
        return fail("can't make " + o.dump + ": " + std::strerror(errno));
    }
    return o.analyse.empty() ? measure(o) : analyseAgain(o);
}
