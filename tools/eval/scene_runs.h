// The Middlebury 2014 and KITTI layouts of ondrel-eval: find the files, check them, score
// them (tools/eval/scenes.h), print the table and write the CSV.
#pragma once

#include <string>
#include <vector>

namespace ondrel_eval {

// Scores OUT/<scene>/disp0<Name>.pfm against SCENES/<scene>/disp0GT.pfm and mask0nocc.png for
// every folder <scene> of OUT, for the names in `methods` (all disp0<Name>.pfm found when
// empty). Returns the exit status: 0 all evaluated, 1 something skipped (messages given).
int run_middlebury(const std::string& scenes, const std::string& out, const std::vector<std::string>& methods,
                   const std::string& csv);

// Scores RESULTS/<image>.png against GT_NOC/<image>.png and GT_OCC/<image>.png for every PNG
// of GT_NOC. Exit status as above.
int run_kitti(const std::string& gt_noc, const std::string& gt_occ, const std::string& results,
              const std::string& csv);

}  // namespace ondrel_eval
