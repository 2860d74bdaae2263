#include "raw/default_types.h"

#include <string>

namespace brantlow::raw {

namespace {
constexpr int64_t KB = 1024, MB = 1024 * KB, GB = 1024 * MB;
}

// Signatures from each format's published description. Types that share
// their first bytes are told apart by later bytes (0x2A stands for any byte);
// at one position the earlier row wins.
const std::vector<DefaultType>& defaultTypeTable() {
    static const std::vector<DefaultType> table = {
        // Photos
        {"jpg", "FF,D8,FF", "FF,D9", 0, 0, 0, 0, false, 20 * MB, 0, "Photos",
         "ITU-T T.81 / JFIF 1.02: SOI marker FF D8 followed by a marker, EOI marker FF D9 ends the image"},
        {"png", "89,50,4E,47,0D,0A,1A,0A", "49,45,4E,44,AE,42,60,82", 0, 0, 0, 0, false, 20 * MB, 0, "Photos",
         "PNG (ISO/IEC 15948): 8-byte signature; the file ends with the IEND chunk type and its fixed CRC AE 42 60 82"},
        {"gif", "47,49,46,38,39,61", "00,3B", 0, 0, 0, 0, false, 5 * MB, 0, "Photos",
         "GIF89a: header \"GIF89a\"; block terminator 00 then trailer 3B"},
        {"gif", "47,49,46,38,37,61", "00,3B", 0, 0, 0, 0, false, 5 * MB, 0, "Photos",
         "GIF87a: header \"GIF87a\"; block terminator 00 then trailer 3B"},
        {"bmp", "42,4D,2A,2A,2A,2A,00,00,00,00", "", 0, 2, 4, 0, true, 100 * MB, 0, "Photos",
         "BITMAPFILEHEADER: bfType \"BM\", bfSize (LE32 at 2, whole file), bfReserved1/2 = 0"},
        {"cr2", "49,49,2A,00,10,00,00,00,43,52", "", 0, 0, 0, 0, false, 40 * MB, 0, "Photos",
         "Canon CR2 (published reverse-engineered description): TIFF header, IFD at 16, \"CR\" at 8"},
        {"tif", "49,49,2A,00", "", 0, 0, 0, 0, false, 100 * MB, 0, "Photos",
         "TIFF 6.0 section 2: \"II\", 42 (LE16); the first IFD may lie anywhere (also .nef/.dng/.arw)"},
        {"tif", "4D,4D,00,2A", "", 0, 0, 0, 0, false, 100 * MB, 0, "Photos",
         "TIFF 6.0 section 2: \"MM\", 42 (BE16); the first IFD may lie anywhere (also .nef/.dng)"},
        {"psd", "38,42,50,53,00,01", "", 0, 0, 0, 0, false, 100 * MB, 0, "Photos",
         "Adobe Photoshop File Formats: signature \"8BPS\", version 1"},
        {"webp", "52,49,46,46,2A,2A,2A,2A,57,45", "", 0, 4, 4, 8, false, 50 * MB, 0, "Photos",
         "WebP container (RIFF): \"RIFF\", LE32 size of what follows the first 8 bytes, \"WEBP\""},
        {"ico", "00,00,01,00,01,00", "", 0, 0, 0, 0, false, 1 * MB, 0, "Photos",
         "ICONDIR (Win32 resource docs): reserved 0, type 1 (icon), one image"},
        {"heic", "2A,2A,2A,2A,66,74,79,70,68,65", "", 0, 0, 0, 0, false, 20 * MB, 0, "Photos",
         "ISO/IEC 14496-12 'ftyp' box at offset 4, major brand \"heic\"/\"heix\" (ISO/IEC 23008-12)"},
        {"jp2", "00,00,00,0C,6A,50,20,20,0D,0A", "", 0, 0, 0, 0, false, 20 * MB, 0, "Photos",
         "JPEG 2000 (ISO/IEC 15444-1 annex I): signature box \"jP  \" with CR LF"},
        {"xcf", "67,69,6D,70,20,78,63,66,20", "", 0, 0, 0, 0, false, 100 * MB, 0, "Photos",
         "GIMP XCF documentation: magic \"gimp xcf \""},
        // Documents
        {"pdf", "25,50,44,46,2D", "25,25,45,4F,46", 1, 0, 0, 0, false, 100 * MB, 0, "Documents",
         "ISO 32000-1 7.5: header \"%PDF-\"; the last line is \"%%EOF\" followed by an end-of-line (LF counted)"},
        {"doc", "D0,CF,11,E0,A1,B1,1A,E1", "", 0, 0, 0, 0, false, 20 * MB, 0, "Documents",
         "[MS-CFB] compound file header signature (also .xls, .ppt, .msg, .msi)"},
        {"rtf", "7B,5C,72,74,66,31", "", 0, 0, 0, 0, false, 10 * MB, 0, "Documents",
         "RTF 1.9.1: document starts with \"{\\rtf1\""},
        {"ps", "25,21,50,53,2D,41,64,6F,62,65", "25,25,45,4F,46", 1, 0, 0, 0, false, 100 * MB, 0, "Documents",
         "Adobe DSC 3.0: \"%!PS-Adobe\" header, \"%%EOF\" at the end"},
        {"xml", "3C,3F,78,6D,6C,20", "", 0, 0, 0, 0, false, 1 * MB, 0, "Documents",
         "XML 1.0 section 2.8: XML declaration \"<?xml \""},
        {"html", "3C,21,44,4F,43,54,59,50,45,20", "3C,2F,68,74,6D,6C,3E", 0, 0, 0, 0, false, 5 * MB, 0, "Documents",
         "HTML Living Standard: \"<!DOCTYPE \" … \"</html>\""},
        {"djvu", "41,54,26,54,46,4F,52,4D", "", 0, 0, 0, 0, false, 50 * MB, 0, "Documents",
         "DjVu v3: \"AT&T\" then an IFF \"FORM\" chunk"},
        {"chm", "49,54,53,46,03,00,00,00", "", 0, 0, 0, 0, false, 50 * MB, 0, "Documents",
         "Microsoft HTML Help (published ITSF description): \"ITSF\", version 3"},
        {"wpd", "FF,57,50,43", "", 0, 0, 0, 0, false, 10 * MB, 0, "Documents",
         "WordPerfect file header (SDK): FF \"WPC\""},
        // Archives
        {"zip", "50,4B,03,04", "50,4B,05,06", 18, 0, 0, 0, false, 500 * MB, 0, "Archives",
         "PKWARE APPNOTE 6.3.x 4.3.7 and 4.3.16: local file header PK 03 04; end of central directory PK 05 06, "
         "22 bytes with no comment (also .docx/.xlsx/.pptx/.odt/.jar/.apk/.epub); every member repeats PK 03 04",
         true},
        {"rar", "52,61,72,21,1A,07,00", "C4,3D,7B,00,40,07,00", 0, 0, 0, 0, false, 500 * MB, 0, "Archives",
         "RAR 4.x technote: marker block \"Rar!\" 1A 07 00; end-of-archive block C4 3D 7B 00 40 07 00"},
        {"rar", "52,61,72,21,1A,07,01,00", "1D,77,56,51,03,05,04,00", 0, 0, 0, 0, false, 500 * MB, 0, "Archives",
         "RAR 5.0 technote: signature \"Rar!\" 1A 07 01 00; end of archive header 1D 77 56 51 03 05 04 00"},
        {"7z", "37,7A,BC,AF,27,1C", "", 0, 0, 0, 0, false, 500 * MB, 0, "Archives",
         "7z format description (7zFormat.txt): signature header \"7z\" BC AF 27 1C"},
        {"gz", "1F,8B,08", "", 0, 0, 0, 0, false, 100 * MB, 0, "Archives",
         "RFC 1952: ID1 1F, ID2 8B, CM 8 (deflate)"},
        {"bz2", "42,5A,68,2A,31,41,59,26,53,59", "", 0, 0, 0, 0, false, 100 * MB, 0, "Archives",
         "bzip2 format (published description): \"BZh\", block size digit, block magic 31 41 59 26 53 59"},
        {"xz", "FD,37,7A,58,5A,00", "", 0, 0, 0, 0, false, 100 * MB, 0, "Archives",
         "The .xz file format 1.1.0 2.1.1.1: header magic FD \"7zXZ\" 00"},
        {"cab", "4D,53,43,46,00,00,00,00", "", 0, 8, 4, 0, true, 500 * MB, 0, "Archives",
         "[MS-CAB] CFHEADER: \"MSCF\", reserved1 = 0, cbCabinet (LE32 at 8, whole cabinet)"},
        {"zst", "28,B5,2F,FD", "", 0, 0, 0, 0, false, 100 * MB, 0, "Archives",
         "RFC 8878 3.1.1: Zstandard frame magic number 0xFD2FB528 (LE)"},
        // Audio
        {"mp3", "49,44,33,2A,00", "", 0, 0, 0, 0, false, 10 * MB, 0, "Audio",
         "ID3v2.3/2.4 informal standard: \"ID3\", major version, revision 0"},
        {"wav", "52,49,46,46,2A,2A,2A,2A,57,41", "", 0, 4, 4, 8, false, 1 * GB, 0, "Audio",
         "Microsoft RIFF/WAVE: \"RIFF\", LE32 size of what follows the first 8 bytes, \"WAVE\""},
        {"flac", "66,4C,61,43,2A,00,00,22", "", 0, 0, 0, 0, false, 200 * MB, 0, "Audio",
         "FLAC format: \"fLaC\", STREAMINFO metadata block header of length 34"},
        {"ogg", "4F,67,67,53,00,02", "", 0, 0, 0, 0, false, 100 * MB, 0, "Audio",
         "RFC 3533: capture pattern \"OggS\", version 0, beginning-of-stream flag"},
        {"mid", "4D,54,68,64,00,00,00,06", "", 0, 0, 0, 0, false, 1 * MB, 0, "Audio",
         "Standard MIDI File 1.0: header chunk \"MThd\" of length 6"},
        {"aif", "46,4F,52,4D,2A,2A,2A,2A,41,49", "", 0, 0, 0, 0, false, 200 * MB, 0, "Audio",
         "AIFF 1.3 (Apple): IFF \"FORM\" chunk of form type \"AIFF\"/\"AIFC\" (big-endian size: not used)"},
        {"m4a", "2A,2A,2A,2A,66,74,79,70,4D,34", "", 0, 0, 0, 0, false, 100 * MB, 0, "Audio",
         "ISO/IEC 14496-12 'ftyp' box, brand \"M4A \"/\"M4B \""},
        {"amr", "23,21,41,4D,52,0A", "", 0, 0, 0, 0, false, 5 * MB, 0, "Audio",
         "RFC 4867 section 5: single-channel AMR file magic \"#!AMR\" LF"},
        {"ape", "4D,41,43,20", "", 0, 0, 0, 0, false, 200 * MB, 0, "Audio",
         "Monkey's Audio SDK: descriptor \"MAC \""},
        // Video
        {"avi", "52,49,46,46,2A,2A,2A,2A,41,56", "", 0, 4, 4, 8, false, 4 * GB, 0, "Video",
         "Microsoft AVI RIFF: \"RIFF\", LE32 size of what follows the first 8 bytes, \"AVI \""},
        {"mp4", "2A,2A,2A,2A,66,74,79,70,69,73", "", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "ISO/IEC 14496-12/14: 'ftyp' box, major brand \"isom\""},
        {"mp4", "2A,2A,2A,2A,66,74,79,70,6D,70", "", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "ISO/IEC 14496-14: 'ftyp' box, major brand \"mp41\"/\"mp42\""},
        {"mov", "2A,2A,2A,2A,66,74,79,70,71,74", "", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "QuickTime File Format (Apple): 'ftyp' atom, brand \"qt  \""},
        {"3gp", "2A,2A,2A,2A,66,74,79,70,33,67", "", 0, 0, 0, 0, false, 200 * MB, 0, "Video",
         "3GPP TS 26.244: 'ftyp' box, brand \"3gp…\"/\"3g2…\""},
        {"mkv", "1A,45,DF,A3", "", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "RFC 8794 (EBML) / Matroska: EBML header element ID 1A 45 DF A3 (also .webm)"},
        {"flv", "46,4C,56,01", "", 0, 0, 0, 0, false, 500 * MB, 0, "Video",
         "Adobe FLV and F4V 10.1 annex E: \"FLV\", version 1"},
        {"mpg", "00,00,01,BA", "00,00,01,B9", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "ISO/IEC 13818-1: pack start code 00 00 01 BA; program end code 00 00 01 B9 (also .vob)"},
        {"wmv", "30,26,B2,75,8E,66,CF,11,A6,D9", "", 0, 0, 0, 0, false, 1 * GB, 0, "Video",
         "ASF 1.20: header object GUID 75B22630-668E-11CF-A6D9-… (also .wma/.asf)"},
        {"swf", "46,57,53", "", 0, 4, 4, 0, true, 100 * MB, 0, "Video",
         "SWF File Format 19: \"FWS\" (uncompressed), version, FileLength (LE32 at 4, whole file)"},
        {"rm", "2E,52,4D,46,00,00,00,12", "", 0, 0, 0, 0, false, 500 * MB, 0, "Video",
         "RealMedia file format (published): \".RMF\" header chunk of size 18"},
        // Databases
        {"db", "53,51,4C,69,74,65,20,66,6F,72", "", 0, 0, 0, 0, false, 100 * MB, 0, "Databases",
         "SQLite database file format 1.3: header string \"SQLite format 3\" NUL"},
        {"mdb", "00,01,00,00,53,74,61,6E,64,61", "", 0, 0, 0, 0, false, 500 * MB, 0, "Databases",
         "Jet/ACE database page 0 (published descriptions): \"Standard Jet DB\" / \"Standard ACE DB\" at 4"},
        {"pst", "21,42,44,4E", "", 0, 0, 0, 0, false, 1 * GB, 0, "Databases",
         "[MS-PST] 2.2.2.6 HEADER: dwMagic \"!BDN\""},
        {"kdbx", "03,D9,A2,9A,67,FB,4B,B5", "", 0, 0, 0, 0, false, 10 * MB, 0, "Databases",
         "KeePass KDBX (published format description): signatures 9AA2D903 and B54BFB67"},
        {"dbx", "CF,AD,12,FE", "", 0, 0, 0, 0, false, 500 * MB, 0, "Databases",
         "Outlook Express DBX (published description): signature CF AD 12 FE"},
        // Executables
        {"exe", "4D,5A,90,00,03,00,00,00,04,00", "", 0, 0, 0, 0, false, 20 * MB, 0, "Executables",
         "Microsoft PE/COFF: MS-DOS header \"MZ\" as written by the common linkers"},
        {"elf", "7F,45,4C,46", "", 0, 0, 0, 0, false, 100 * MB, 0, "Executables",
         "System V ABI / ELF: e_ident 7F \"ELF\""},
        {"dex", "64,65,78,0A,30,33", "", 0, 32, 4, 0, true, 100 * MB, 0, "Executables",
         "Android Dalvik executable format: \"dex\" LF \"03x\" NUL, file_size (LE32 at 32, whole file)"},
        {"clas", "CA,FE,BA,BE,00,00,00", "", 0, 0, 0, 0, false, 1 * MB, 0, "Executables",
         "JVM 4.1: magic CAFEBABE, minor_version 0 (stored as .clas: 4 characters)"},
        {"lnk", "4C,00,00,00,01,14,02,00,00,00", "", 0, 0, 0, 0, false, 1 * MB, 0, "Executables",
         "[MS-SHLLINK] 2.1: HeaderSize 0x4C, LinkCLSID 00021401-…"},
        // System and other
        {"evtx", "45,6C,66,46,69,6C,65,00", "", 0, 0, 0, 0, false, 100 * MB, 0, "System",
         "Windows XML event log (published description): file header \"ElfFile\" NUL"},
        {"reg", "72,65,67,66", "", 0, 0, 0, 0, false, 100 * MB, 0, "System",
         "Windows registry hive (published description): base block signature \"regf\""},
        {"pcap", "D4,C3,B2,A1,02,00,04,00", "", 0, 0, 0, 0, false, 500 * MB, 0, "System",
         "libpcap file format: magic A1B2C3D4 (LE), version 2.4"},
        {"vmdk", "4B,44,4D,56,01,00,00,00", "", 0, 0, 0, 0, false, 1 * GB, 0, "System",
         "VMware Virtual Disk Format 1.1: sparse extent magic \"KDMV\", version 1"},
        {"qcow", "51,46,49,FB,00,00,00", "", 0, 0, 0, 0, false, 1 * GB, 0, "System",
         "QEMU qcow2: magic \"QFI\" FB, version (BE32)"},
        {"otf", "4F,54,54,4F,00", "", 0, 0, 0, 0, false, 10 * MB, 0, "Other",
         "OpenType: sfntVersion \"OTTO\""},
        {"torr", "64,38,3A,61,6E,6E,6F,75,6E,63", "", 0, 0, 0, 0, false, 2 * MB, 0, "Other",
         "BitTorrent BEP 3: bencoded dictionary starting \"d8:announce\" (stored as .torr)"},
        {"eml", "52,65,74,75,72,6E,2D,50,61,74", "", 0, 0, 0, 0, false, 20 * MB, 0, "Other",
         "RFC 5322 message as stored by mail servers: first header \"Return-Path:\""},
    };
    return table;
}

std::vector<SettingsRecord> defaultRecords() {
    std::vector<SettingsRecord> out;
    for (const auto& d : defaultTypeTable()) {
        EditorFields f;
        f.extension = d.extension;
        f.startSignature = d.start;
        f.endSignature = d.end;
        f.sizeOffset = std::to_string(d.sizeOffset);
        f.sizeLength = std::to_string(d.sizeLength);
        f.headerSize = std::to_string(d.headerSize);
        f.sizeIncludesHeader = d.sizeIncludesHeader;
        f.approximateSize = std::to_string(d.approximateSize);
        f.skipSize = std::to_string(d.skipSize);
        f.bytesAfterEnd = std::to_string(d.bytesAfterEnd);
        f.category = d.category;
        f.startRepeats = d.startRepeats;
        f.dropInvalid = d.dropInvalid;
        SettingsRecord r;
        std::string msg;
        if (buildRecord(f, static_cast<uint8_t>(out.size()), r, msg)) out.push_back(r);
    }
    return out;
}

}  // namespace brantlow::raw
