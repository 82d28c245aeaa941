// The Middlebury 2014 and KITTI layouts of ondrel-eval: find the files, check them, score
// them (tools/eval/scenes.h), print the table and write the CSV.
#pragma once

#include <string>
#include <vector>

namespace ondrel_eval {

// What a run writes beside its table: the CSV (csv, "" none) and the page (html, "" none; see
// html.h), which shows `command` (the command line) among its settings.
struct RunOutputs {
  std::string csv, html, command;
};

// Scores OUT/<scene>/disp0<Name>.pfm against SCENES/<scene>/disp0GT.pfm and mask0nocc.png,
// with ndisp from SCENES/<scene>/calib.txt, for every folder <scene> of OUT, for the names in
// `methods` (all disp0<Name>.pfm found when empty), and writes beside each map its pictures
// (scenes.h): OUT/<scene>/disp0<Name>_color.png, disp0<Name>_errors.png (bad 2 px, on
// SCENES/<scene>/im0.png) and disp0GT_color.png, all on the scale 0 .. ndisp. A scene whose
// truth and mask leave no pixel of nonocc to evaluate is reported and left out of the table and
// the means. Returns the exit status: 0 all evaluated, 1 something skipped (messages given).
int run_middlebury(const std::string& scenes, const std::string& out, const std::vector<std::string>& methods,
                   const RunOutputs& outputs);

// Scores RESULTS/<image>.png against GT_NOC/<image>.png and GT_OCC/<image>.png for every PNG
// of GT_NOC and writes RESULTS/<image>_color.png, <image>_gt_color.png (of GT_OCC) and
// <image>_errors.png (on GT_NOC/../image_2/<image>.png, the KITTI training layout, where it
// exists), on the scale 0 .. the largest true disparity. An image whose GT_NOC is 0 everywhere
// is reported and left out. Exit status as above.
int run_kitti(const std::string& gt_noc, const std::string& gt_occ, const std::string& results,
              const RunOutputs& outputs);

}  // namespace ondrel_eval
