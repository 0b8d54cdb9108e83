#include "photodupes/current_groups.h"

#include "photodupes/file_state.h"

namespace photodupes {

CurrentGroups currentGroups(std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify,
                            const StatFn& stat, const Decisions& decisions, const std::string& root) {
  CurrentGroups out;
  std::vector<char> leaveOut(photos.size(), 0), checked(photos.size(), 0);
  for (;;) {
    out.groups = findGroups(photos, radius, threshold, verify, leaveOut, decisions);
    bool again = false;
    for (const Group& g : out.groups)
      for (const Member& m : g.members) {
        if (checked[m.photo]) continue;
        checked[m.photo] = 1;
        Photo& p = photos[m.photo];
        const auto now = stat(p.path);
        if (!unchangedSince(p, now)) {
          leaveOut[m.photo] = 1, ++out.changed, again = true;
        } else if (!p.stat) {
          p.stat = now, again = true;  // now known: another path to the same file stands out
        }
      }
    if (!again) {
      applyDecisions(out.groups, photos, decisions, root);
      return out;
    }
  }
}

std::string changedNotice(std::size_t changed, const std::string& rescan) {
  if (changed == 0) return "";
  return std::to_string(changed) + (changed == 1 ? " photo" : " photos") +
         " changed or left since the last scan and " + (changed == 1 ? "is" : "are") +
         " left out of the groups; " + rescan + " to bring the catalog up to date.";
}

}  // namespace photodupes
