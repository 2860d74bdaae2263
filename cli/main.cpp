// brantlow-cli: the recovery engine without a display.
#include <CLI/CLI.hpp>

#include <deque>
#include <iostream>
#include <vector>

#include "base/version.h"
#include "cli/cli.h"
#include "platform/heap.h"
#include "platform/signals.h"

using namespace brantlow::cli;

namespace {

constexpr const char* kSourceHelp =
    "a disk device or an image file; it is only ever read. Several SOURCE arguments are put together into the "
    "sets they make (RAID members, the disks of a volume group)";

CLI::Option* flag(CLI::App* sub, const std::string& name, const std::string& help) {
    return sub->add_flag(name, help);
}

// One SOURCE, or the members of a set (RAID members, the disks of a volume
// group) in any order.
void addSource(CLI::App* sub) {
    static std::deque<std::vector<std::string>> values;  // CLI11 takes several only into a vector
    sub->add_option("SOURCE", values.emplace_back(), kSourceHelp)->required()->expected(-1);
    sub->add_option("--raid", "the SOURCE arguments are the members of a RAID set without metadata: 'search' "
                              "ranks the ways they fit together and takes the best, or give the parameters "
                              "(level=5,chunk=64K,layout=left-symmetric,order=0:1:2,start=1M; order counts the "
                              "SOURCE arguments from 0)")->type_name("search|PARAMETERS");
}

// Exactly one SOURCE (the imaging copy reads one disk).
void addOneSource(CLI::App* sub) { sub->add_option("SOURCE", kSourceHelp)->required(); }

// What opens an encrypted layer.
void addPassphrase(CLI::App* sub) {
    auto* pass = sub->add_option("--passphrase-file", "read the passphrase of an encrypted volume from this file "
                                                      "(else it is asked for on the terminal)")->type_name("FILE");
    auto* key = sub->add_option("--key-file", "open an encrypted volume with this key file (its bytes as they are)")
                    ->type_name("FILE");
    pass->excludes(key);
    sub->add_option("--volume-key-file", "open an encrypted volume with its volume key from this file (hex digits, "
                                         "as luksDump prints it, or the key's bytes); it opens a volume whose key "
                                         "slots are gone")->type_name("FILE");
}

// --map MAP: the image is read through the map of the run that made it.
void addMap(CLI::App* sub) {
    sub->add_option("--map", "SOURCE is an image made with this map (GNU ddrescue's format): sectors it does not "
                             "mark finished read as unreadable, and files on them are marked")->type_name("MAP");
}

// --volume N, or --start-sector S with --fs and --size-sectors.
void addVolumeChoice(CLI::App* sub, bool withFs) {
    sub->add_option("--volume", "the volume to use: the VOLUME column of 'volumes' (may be left out when the "
                                "source holds one volume)")->type_name("N");
    sub->add_option("--start-sector", "the volume starts at this 512-byte sector instead")->type_name("S");
    if (withFs)
        sub->add_option("--fs")
            ->description("read it as this file system (" + fileSystemListText() + ") instead of recognising it")
            ->type_name("NAME");
    sub->add_option("--size-sectors", "its size in 512-byte sectors (default: as recorded, else to the end)")->type_name("Z");
    flag(sub, "--gpt", "walk the GPT even when the MBR is not a protective one");
    addPassphrase(sub);
}

void addScanOptions(CLI::App* sub) {
    sub->add_option("--mode")
        ->description("standard (default), advanced (" + fileSystemListText(true) +
                      ": start from metadata found by a search of the volume) or deep (every record found on the "
                      "volume, where the file system offers it)")
        ->type_name("MODE")->check(CLI::IsMember({"standard", "advanced", "deep"}));
    flag(sub, "--formatted", "the volume was formatted (" + fileSystemListText(false, true) +
                                 "): read files from contiguous clusters");
    sub->add_option("--candidate", "advanced: start from candidate N of the search (default: the best one)")
        ->type_name("N");
    sub->add_option("--max-candidates", "advanced: how many candidates to search for (default 3)")->type_name("N");
    sub->add_option("--sectors-per-cluster", "advanced: the volume's sectors per cluster (default: as found)")
        ->type_name("S");
    flag(sub, "--candidates",
         "print the file systems the volume holds traces of, best first (and in advanced mode the candidates "
         "of its own search; on stderr)");
    sub->add_option("--fs-candidate", "read the volume as file system N of the --candidates list")->type_name("N");
    flag(sub, "--streams", "also named data streams, where the file system keeps them, as NAME:STREAM");
    flag(sub, "--quiet", "no progress on stderr");
}

// --session FILE: keep the results (and the progress) in a session file and
// reopen (or go on with) it on the next run.
void addSession(CLI::App* sub, const char* what) {
    sub->add_option("--session")
        ->description(std::string("keep ") + what + " in this session file (SQLite); a later run with the same file "
                      "reopens it without reading the disk again, or goes on where it stopped")
        ->type_name("FILE");
    flag(sub, "--session-overwrite", "replace the --session file when it cannot be used (another source or job, "
                                     "damaged, not a session)");
}

// The parsed options of a subcommand in the form the commands take.
Args argsOf(const CLI::App* sub) {
    Args a;
    for (const CLI::Option* o : sub->get_options()) {
        if (o->count() == 0 || o->get_name() == "--help") continue;
        if (o->get_positional()) {
            for (const std::string& r : o->results()) a.positional.push_back(r);
        } else {
            std::string name = o->get_name(false, true);
            if (name.rfind("--", 0) != 0) name = "--" + name;
            a.options[name] = o->get_expected_min() == 0 ? std::string() : o->results().front();
        }
    }
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    brantlow::platform::prepareHeapForLargeTables();
    CLI::App app{"brantlow-cli: recovers deleted files from disks and disk images without a display.\n"
                 "SOURCE is a disk device or an image file; it is only ever read.\n"
                 "Exit status: 0 all done; 1 usage; 2 the source cannot be opened or read; 3 no file\n"
                 "system this tool can parse there; 4 done, but some files partial or failed (named on\n"
                 "stderr); 5 done, but sectors are unreadable (files on them with --map; image: bad\n"
                 "sectors left); 6 image: the image or its map cannot be written; 7 the --session file\n"
                 "cannot be used (the reason on stderr); 130 interrupted.",
                 "brantlow-cli"};
    app.set_version_flag("--version", "brantlow-cli " BRANTLOW_VERSION, "print the version and exit");
    app.require_subcommand(1, 1);

    CLI::App* volumes = app.add_subcommand("volumes", "list the volumes the partition tables name (or, with --scan, "
                                                      "the volumes found by looking at every sector)");
    addSource(volumes);
    flag(volumes, "--gpt", "walk the GPT even when the MBR is not a protective one");
    addPassphrase(volumes);
    flag(volumes, "--json", "one JSON object per volume (with --scan, a last object \"scan\" with the counts)");
    flag(volumes, "--scan", "search every sector for volumes whose partition-table entries are lost");
    volumes->add_option("--start", "--scan: the first 512-byte sector to look at (default 0)")->type_name("S");
    volumes->add_option("--end", "--scan: the last sector to look at (default: the last of the source)")->type_name("E");
    flag(volumes, "--no-skip", "--scan: look inside the volumes found too (a backup boot sector is then listed as "
                               "a volume of its own)");
    flag(volumes, "--quiet", "--scan: no progress on stderr");
    addMap(volumes);
    addSession(volumes, "the volumes the sector scan finds");

    CLI::App* list = app.add_subcommand("list", "list every entry of a volume, live and deleted");
    addSource(list);
    addVolumeChoice(list, true);
    addScanOptions(list);
    flag(list, "--json", "one JSON object per entry");
    addMap(list);
    addSession(list, "the listing");

    CLI::App* recover = app.add_subcommand("recover", "write the files of a volume into a folder");
    addSource(recover);
    addVolumeChoice(recover, true);
    addScanOptions(recover);
    recover->add_option("--out", "the output folder (created when missing)")->type_name("DIR")->required();
    recover->add_option("--path", "only the folder ROOT/... and what is below it")->type_name("ROOT/...");
    flag(recover, "--deleted-only", "only deleted and orphaned files");
    recover->add_option("--max-output", "stop before the files written pass this many bytes (K, M, G, T suffixes; "
                        "default: twice the source's size)")->type_name("BYTES");
    flag(recover, "--include-overwritten",
         "also write deleted files whose clusters belong to other files now (as NAME.partial)");
    recover->add_option("--report", "write one JSON line per file (path, status, bytes, reason) to this file")->type_name("FILE");
    addMap(recover);
    addSession(recover, "the listing");

    CLI::App* search = app.add_subcommand("search", "list the files whose names match a pattern, with filters");
    addSource(search);
    addVolumeChoice(search, true);
    addScanOptions(search);
    search->add_option("--pattern", "searched anywhere in each file name; a regular expression, alternatives "
                                    "separated by \"|\" (jpg|doc); case matters")->type_name("P");
    flag(search, "--deleted-only", "only deleted and orphaned files");
    search->add_option("--min-size", "at least this many bytes")->type_name("BYTES");
    search->add_option("--max-size", "at most this many bytes")->type_name("BYTES");
    search->add_option("--modified-after", "modified at or after this UTC date (YYYY-MM-DD[THH:MM:SSZ])")
        ->type_name("DATE");
    search->add_option("--modified-before", "modified at or before this UTC date")->type_name("DATE");
    search->add_option("--ext", "only these extensions, comma-separated (jpg,png)")->type_name("LIST");
    search->add_option("--recoverable", "only deleted files in these states, comma-separated (intact,partial; "
                                        "unreadable: any file on unreadable sectors, with --map)")
        ->type_name("LIST");
    addMap(search);
    addSession(search, "the listing");
    flag(search, "--json", "one JSON object per file found");

    CLI::App* cat = app.add_subcommand("cat", "write one file's content to the standard output");
    addSource(cat);
    addVolumeChoice(cat, true);
    addScanOptions(cat);
    cat->add_option("--path", "the file ROOT/...")->type_name("ROOT/...")->required();
    addMap(cat);
    addSession(cat, "the listing");

    CLI::App* carve = app.add_subcommand("carve", "search the sectors for files by their signatures");
    addSource(carve);
    addVolumeChoice(carve, false);
    carve->add_option("--types", "a signature settings file to search for as well")->type_name("FILE");
    flag(carve, "--no-default-types", "leave out the default types (FileSetting.txt)");
    carve->add_option("--out", "write the files found into this folder (created when missing)")->type_name("DIR");
    flag(carve, "--json", "one JSON object per file found");
    flag(carve, "--hide-marked", "leave out finds that fail their format check");
    flag(carve, "--free-only",
         "carve only the clusters the volume's file system gives to no file (needs a volume it can parse)");
    flag(carve, "--quiet", "no progress on stderr");
    addMap(carve);
    addSession(carve, "the files found");

    CLI::App* image = app.add_subcommand("image", "copy a (failing) disk to an image file, good areas first, keeping "
                                                  "a map of what was read (GNU ddrescue's format); run the same command "
                                                  "again to go on");
    addOneSource(image);
    image->add_option("IMAGE", "the image file (created when missing; never the source or a disk it is on)")->required();
    image->add_option("--map", "the map file (created when missing; locked while the run goes)")->type_name("MAP")
        ->required();
    image->add_option("--retries", "read the bad sectors again this many times (default 0)")->type_name("N");
    flag(image, "--reverse", "every pass the other way (from the end)");
    image->add_option("--min-rate", "skip ahead where reads are slower than this (bytes/s: 500k, 2M), and come back "
                                    "to it at the end of copying")->type_name("RATE");
    image->add_option("--read-timeout", "give up a read that takes longer (seconds); it counts as failed")
        ->type_name("SECONDS");
    image->add_option("--domain", "all (default), or used: the volumes' metadata, then their live files; free "
                                  "space is left for a later run")
        ->type_name("DOMAIN")->check(CLI::IsMember({"all", "used"}));
    flag(image, "--no-trim", "leave out trimming (the edges of failed areas)");
    flag(image, "--no-scrape", "leave out scraping (the rest of failed areas, sector by sector)");
    flag(image, "--quiet", "no progress on stderr");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    brantlow::platform::catchInterrupts();
    int rc = kExitUsage;
    if (volumes->parsed()) rc = cmdVolumes(argsOf(volumes));
    else if (list->parsed()) rc = cmdList(argsOf(list));
    else if (recover->parsed()) rc = cmdRecover(argsOf(recover));
    else if (carve->parsed()) rc = cmdCarve(argsOf(carve));
    else if (search->parsed()) rc = cmdSearch(argsOf(search));
    else if (cat->parsed()) rc = cmdCat(argsOf(cat));
    else if (image->parsed()) rc = cmdImage(argsOf(image));
    printReadStats();
    return rc;
}
