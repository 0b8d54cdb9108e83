// Printing the groups: for people (text), for scripts (JSON), and as the
// list of files not kept (one per line, or zero-separated for xargs -0).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {

enum class Format { kText, kJson, kNotKept };

struct Summary {
  std::size_t groups = 0;
  std::size_t notKept = 0;
  std::int64_t bytesFreed = 0;
};
Summary summarize(const std::vector<Group>& groups);

// Text: a summary line, then per group its reason, bytes to free and
// members with full paths (control characters escaped: printable()), the
// keeper marked "keep".
// JSON: {"summary":{"groups","not_kept","bytes_freed"},"groups":[{"reason":
// "exact"|"near","bytes_freed","keeper","members":[{"path","id","keep",
// "reason","dist","bits","related_to","w","h","bytes","created"}]}]}
// (memberReason; "related_to" for related members); a path that is not
// UTF-8 shows U+FFFD in "path" (and "keeper", "related_to") and its exact
// bytes in "path_base64" ("keeper_base64", "related_to_base64"), standard
// base64.
// Not kept: the exact path bytes of every member not kept, each followed by
// a zero byte when `zero`, else a line feed. Without `zero`, a path holding
// a line feed could be read as two: then nothing is written and the answer
// is false.
bool writeGroups(std::FILE* out, const std::vector<Photo>& photos, const std::vector<Group>& groups, Format format,
                 bool zero);

// writeGroups, then finishOutput; says on `err` why it wrote nothing.
// Returns the exit status.
int printGroups(std::FILE* out, std::FILE* err, const std::vector<Photo>& photos, const std::vector<Group>& groups,
                Format format, bool zero);

// 0 when everything written to `out` reached it; else says so on `err`
// (the reason, a full disk or a closed pipe) and answers 1.
int finishOutput(std::FILE* out, std::FILE* err);

// Why a member is in its group: "keeper", "exact" or "near" (to be
// removed), "related" (kept: confirmed against another member, not the
// keeper) or "kept" (a raw file, a camera original, never removed).
std::string memberReason(const Group& group, const Member& member);

std::string humanBytes(std::int64_t bytes);    // "1.2 MB"
std::string captureDate(std::int64_t millis);  // "2023-05-01 14:02" (local time), "unknown" for 0

}  // namespace photodupes
