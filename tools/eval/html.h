// The page of an evaluation run that ondrel-eval --html writes: one HTML file with its own
// style (no script, nothing fetched) holding the settings, the table of figures and one row
// per scene and method of pictures (left view, ground truth, map, errors), each linked by a
// path relative to the page, so that the page and the folders can be moved together.
#pragma once

#include <string>
#include <vector>

namespace ondrel_eval {

// The pictures of one scene and method: links as relative_link() gives them, "" for none.
struct PageRow {
  std::string scene, method;
  std::string left, truth, map, errors;
};

// The page: `title` as heading, `settings` as a list, the table of `csv` (its first line the
// header; what format_*_csv writes) and the rows. Every text is escaped.
std::string html_page(const std::string& title, const std::vector<std::string>& settings, const std::string& csv,
                      const std::vector<PageRow>& rows);

// `text` with &, <, > and " escaped.
std::string html_escaped(const std::string& text);

// The link from a page in folder `from_dir` to the file `target`: the path from one to the
// other (both taken against the current folder, their folders' symbolic links resolved where
// the folders exist), '/'-separated, every byte but letters, digits, '-', '.', '_', '~' and
// '/' percent-encoded.
std::string relative_link(const std::string& from_dir, const std::string& target);

}  // namespace ondrel_eval
