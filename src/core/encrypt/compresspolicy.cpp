#include "core/encrypt/compresspolicy.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/strhelper.h"
#include "core/encrypt/sevenzipwriter.h"
#include "core/encrypt/zipfileenv.h"
#include "platform/posixfile.h"

namespace {

// Never packed: media, images, installers, disc images and archives.
constexpr std::string_view kListA[] = {
    "ac3",  "arj",    "aif",  "bz2",    "aifc", "bzip2", "aiff", "cab",  "amr",    "cpio", "amv",  "deb",
    "ape",  "dmg",    "asf",  "fat",    "au",   "gz",    "avi",  "gzip", "bik",    "hfs",  "cda",  "iso",
    "csf",  "lha",    "cue",  "lzh",    "dat",  "lzma",  "divx", "ntfs", "dts",    "tar",  "dtswav", "taz",
    "evo",  "tbz",    "f4v",  "tbz2",   "far",  "tgz",   "fla",  "tpz",  "flac",   "wim",  "flv",  "xar",
    "hlv",  "xz",     "ifo",  "z",      "it",   "jar",   "ivm",  "3g2",  "m1a",    "3gp",  "m1v",  "3gp2",
    "m2a",  "3gpp",   "m2p",  "a52",    "m2ts", "aa",    "m2v",  "aac",  "m4a",    "m4b",  "rm",   "m4p",
    "rmi",  "m4v",    "rmvb", "mac",    "rp",   "mid",   "rpm",  "midi", "rt",     "mka",  "s3m",  "mkv",
    "scm",  "mod",    "smi",  "mov",    "smil", "mp+",   "snd",  "mp1",  "stm",    "mp2",  "swf",  "mp2v",
    "swm",  "mp3",    "tod",  "mp3pro", "tp",   "mp4",   "tpr",  "mpa",  "ts",     "mpc",  "tta",  "mpe",
    "mpeg", "umx",    "mpeg4", "vhd",   "mpg",  "vob",   "mpv2", "vp6",  "mtm",    "wav",  "mts",  "wm",
    "ogg",  "wma",    "ogm",  "wmp",    "pmp",  "wmv",   "pss",  "wv",   "pva",    "xm",   "qt",   "ra",
    "ram",  "rar",    "msi",  "jpg",    "gif",  "png",   "ico",  "tif",  "tga",    "jpeg", "tiff",
};
static_assert(std::size(kListA) == 143, "list A holds 143 extensions");

// Documents, not packed above 10 MiB: the common office formats and the OpenDocument
// text, spreadsheet and presentation documents and templates.
constexpr std::string_view kListB[] = {
    "doc", "uof", "docx", "dot", "dotx", "rtf", "xml", "html", "mht", "xls", "xlsx",
    "xlt", "xltx", "csv", "dbf", "txt", "prn", "ppt", "pptx", "pps", "ppsx", "pot",
    "potx", "chm", "umd", "odt", "ott", "ods", "ots", "odp", "otp",
};
static_assert(std::size(kListB) == 31, "list B holds 31 extensions");

template <size_t N>
bool InList(const std::string_view (&list)[N], const std::string& ext) {
  return std::find(std::begin(list), std::end(list), ext) != std::end(list);
}

bool HasSignature(PosixFile& f) {
  unsigned char head[sizeof(k7zSignature)];
  return f.ReadFull(head, sizeof(head)) == static_cast<ssize_t>(sizeof(head)) &&
         std::memcmp(head, k7zSignature, sizeof(head)) == 0;
}

}  // namespace

char CompressExtensionList(const std::string& extension) {
  std::string ext = ToLowerAscii(extension);
  if (InList(kListA, ext)) return 'A';
  if (InList(kListB, ext)) return 'B';
  if (ext == "pdf") return 'C';
  if (ext == "exe" || ext == "dll") return 'D';
  return 0;
}

bool StartsWith7zSignature(const std::string& path, FileEnv* env) {
  PosixFile f(env);
  return f.OpenRegularForRead(path) && HasSignature(f);
}

bool OpensAsZip(const std::string& path, FileEnv* env) {
  zlib_filefunc64_def funcs;
  FillZipFileFuncs(&funcs, env);
  unzFile zip = unzOpen2_64(path.c_str(), &funcs);
  if (!zip) return false;
  unzClose(zip);
  return true;
}

HRESULT NeedCompressFile(const std::string& fileName, const std::string& srcFile, int* flag, FileEnv* env) {
  *flag = 1;
  int64_t size = 0;
  HRESULT hr = GetFileSizeByPath(srcFile, &size, env);
  ERROR_CHECK_COM(hr);

  // Content first: the 7z test comes before the size rule.
  PosixFile probe(env);
  if (!probe.OpenRegularForRead(srcFile)) {
    hr = E_FAIL;
    ERROR_CHECK_COM(hr);
  }
  const bool is7z = HasSignature(probe);
  probe.Close();
  if (is7z) return S_OK;
  if (static_cast<uint64_t>(size) < kPolicySmallFile) {
    *flag = 0;
    return S_OK;
  }
  if (OpensAsZip(srcFile, env)) return S_OK;

  std::string ext = GetFileExtension(fileName);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  const uint64_t usize = static_cast<uint64_t>(size);
  switch (CompressExtensionList(ext)) {
    case 'A':
      *flag = 0;
      break;
    case 'B':
      if (usize > kPolicyDocumentLimit) *flag = 0;
      break;
    case 'C':
      if (usize > kPolicyPdfLimit) *flag = 0;
      break;
    case 'D':
      if (usize > kPolicyProgramLimit) *flag = 0;
      break;
    default:
      break;
  }
  return S_OK;
}
