#include "tools/eval/html.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <sstream>

namespace ondrel_eval {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// `path` absolute, without "." and ".." parts, its folder's links resolved when it exists
std::vector<std::string> absolute_parts(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[PATH_MAX];
    full = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + full;
  }
  char resolved[PATH_MAX];
  if (realpath(full.c_str(), resolved)) full = resolved;
  std::vector<std::string> parts;
  for (const std::string& p : split(full, '/')) {
    if (p.empty() || p == ".") continue;
    if (p == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(p);
  }
  return parts;
}

std::string url_encoded(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    }
  }
  return out;
}

std::string picture(const std::string& link, const std::string& alt) {
  if (link.empty()) return "<td class=none>&ndash;</td>";
  const std::string l = html_escaped(link);
  return "<td><a href=\"" + l + "\"><img src=\"" + l + "\" alt=\"" + html_escaped(alt) + "\" loading=lazy></a></td>";
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #ccc;padding:3px 6px;font-size:13px}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "tr.mean td{font-weight:bold;background:#f3f3f3}"
    "img{max-width:min(320px,20vw);height:auto;display:block}"
    "td.none{color:#999;text-align:center}";

}  // namespace

std::string html_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string relative_link(const std::string& from_dir, const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::vector<std::string> from = absolute_parts(from_dir), to = absolute_parts(folder);
  size_t common = 0;
  while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
  std::string link;
  for (size_t i = common; i < from.size(); ++i) link += "../";
  for (size_t i = common; i < to.size(); ++i) link += to[i] + "/";
  return url_encoded(link + target.substr(slash == std::string::npos ? 0 : slash + 1));
}

std::string html_page(const std::string& title, const std::vector<std::string>& settings, const std::string& csv,
                      const std::vector<PageRow>& rows) {
  std::string page = "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n<title>" + html_escaped(title) +
                     "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>" + html_escaped(title) +
                     "</h1>\n<h2>Settings</h2>\n<ul>\n";
  for (const std::string& s : settings) page += "<li>" + html_escaped(s) + "</li>\n";
  page += "</ul>\n<h2>Figures</h2>\n<table>\n";
  const std::vector<std::string> lines = split(csv, '\n');
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::vector<std::string> cells = split(lines[i], ',');
    page += i == 0 ? "<tr>" : cells.empty() || cells[0] != "mean" ? "<tr>" : "<tr class=mean>";
    for (size_t k = 0; k < cells.size(); ++k)
      page += i == 0 ? "<th>" + html_escaped(cells[k]) + "</th>"
                     : (k < 2 ? "<td>" : "<td class=n>") + html_escaped(cells[k]) + "</td>";
    page += "</tr>\n";
  }
  page += "</table>\n<h2>Pictures</h2>\n<table>\n"
          "<tr><th>scene</th><th>method</th><th>left view</th><th>ground truth</th><th>map</th><th>errors</th></tr>\n";
  for (const PageRow& r : rows)
    page += "<tr><td>" + html_escaped(r.scene) + "</td><td>" + html_escaped(r.method) + "</td>" +
            picture(r.left, r.scene + " left view") + picture(r.truth, r.scene + " ground truth") +
            picture(r.map, r.scene + " " + r.method + " map") + picture(r.errors, r.scene + " " + r.method + " errors") +
            "</tr>\n";
  page += "</table>\n</body>\n</html>\n";
  return page;
}

}  // namespace ondrel_eval
