// Saved Access queries rebuilt as SQLite SELECTs.
#include "tools/mivoctl/access_query.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace mivoctl::access {

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

namespace {

enum Attribute {
  kType = 1,
  kParameter = 2,
  kFlags = 3,
  kRemoteDatabase = 4,
  kTable = 5,
  kColumn = 6,
  kJoin = 7,
  kWhere = 8,
  kGroupBy = 9,
  kHaving = 10,
  kOrderBy = 11,
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Failure {
  std::string why;
};

// Translates one Access expression.
class Translator {
 public:
  Translator(const std::set<std::string>& names, const std::set<std::string>& declared,
             const std::function<std::string(const std::string&)>& parameterName,
             std::vector<std::string>* used)
      : names_(names), declared_(declared), parameterName_(parameterName), used_(used) {}

  std::string Run(const std::string& in) {
    text_ = in;
    pos_ = 0;
    std::string out;
    bool afterLike = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos_;
        if (!out.empty() && out.back() != ' ') out += ' ';
        continue;
      }
      const bool likeOperand = afterLike;
      afterLike = false;
      if (c == '"' || c == '\'') {
        std::string literal = ReadString(c);
        if (likeOperand) literal = LikePattern(literal);
        out += SqlString(literal);
      } else if (c == '#') {
        throw Failure{"a date literal (#...#)"};
      } else if (c == '[' || std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        out += Name(&afterLike);
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        while (pos_ < text_.size() &&
               (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.')) {
          out += text_[pos_++];
        }
      } else if (c == '&') {
        out += "||";
        ++pos_;
      } else if (c == '<' || c == '>') {
        out += c;
        ++pos_;
        if (pos_ < text_.size() && (text_[pos_] == '=' || (c == '<' && text_[pos_] == '>')))
          out += text_[pos_++];
      } else if (std::string("=+-*/(),.").find(c) != std::string::npos) {
        out += c;
        ++pos_;
      } else if (c == ';' && text_.find_first_not_of(" \t\r\n;", pos_) == std::string::npos) {
        break;
      } else {
        throw Failure{std::string("the operator '") + c + "'"};
      }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }

 private:
  std::string ReadString(char quote) {
    std::string s;
    ++pos_;
    while (true) {
      if (pos_ >= text_.size()) throw Failure{"an unterminated text literal"};
      const char c = text_[pos_++];
      if (c == quote) {
        if (pos_ < text_.size() && text_[pos_] == quote) {
          s += quote;
          ++pos_;
          continue;
        }
        return s;
      }
      s += c;
    }
  }

  static std::string SqlString(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
      if (c == '\'') out += '\'';
      out += c;
    }
    return out + "'";
  }

  static std::string LikePattern(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '*') {
        out += '%';
      } else if (c == '?') {
        out += '_';
      } else if (c == '#' || c == '[' || c == '%' || c == '_') {
        throw Failure{"a LIKE pattern with '" + std::string(1, c) + "'"};
      } else {
        out += c;
      }
    }
    return out;
  }

  // One name: [bracketed] or bare, possibly a chain a.b.c, a keyword, a function or a parameter.
  std::string Name(bool* afterLike) {
    std::vector<std::pair<std::string, bool>> parts;  // name, bracketed
    while (true) {
      if (pos_ < text_.size() && text_[pos_] == '[') {
        const auto end = text_.find(']', pos_);
        if (end == std::string::npos) throw Failure{"an unterminated [name]"};
        parts.emplace_back(text_.substr(pos_ + 1, end - pos_ - 1), true);
        pos_ = end + 1;
      } else if (pos_ < text_.size() && text_[pos_] == '*' && !parts.empty()) {
        parts.emplace_back("*", false);
        ++pos_;
      } else {
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
          ++pos_;
        }
        if (start == pos_) throw Failure{"a name cut short"};
        parts.emplace_back(text_.substr(start, pos_ - start), false);
      }
      if (pos_ + 1 < text_.size() && text_[pos_] == '.' &&
          (text_[pos_ + 1] == '[' || text_[pos_ + 1] == '*' ||
           std::isalpha(static_cast<unsigned char>(text_[pos_ + 1])) || text_[pos_ + 1] == '_')) {
        ++pos_;
        continue;
      }
      break;
    }
    if (parts.size() > 1) {
      std::string out;
      for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '.';
        out += parts[i].first == "*" ? "*" : QuoteIdentifier(parts[i].first);
      }
      return out;
    }
    const std::string& name = parts[0].first;
    const std::string lower = Lower(name);
    std::size_t next = pos_;
    while (next < text_.size() && text_[next] == ' ') ++next;
    const bool call = next < text_.size() && text_[next] == '(';
    if (!parts[0].second) {
      static const std::map<std::string, std::string> kKeywords = {
          {"and", "AND"}, {"or", "OR"},           {"not", "NOT"},   {"is", "IS"},  {"null", "NULL"},
          {"in", "IN"},   {"between", "BETWEEN"}, {"like", "LIKE"}, {"true", "1"}, {"false", "0"},
          {"as", "AS"},   {"asc", "ASC"},         {"desc", "DESC"}, {"mod", "%"},  {"xor", ""}};
      if (auto k = kKeywords.find(lower); k != kKeywords.end()) {
        if (k->second.empty()) throw Failure{"the operator Xor"};
        if (lower == "like") *afterLike = true;
        return k->second;
      }
      if (call) {
        static const std::map<std::string, std::string> kFunctions = {
            {"nz", "IFNULL"}, {"ucase", "UPPER"}, {"lcase", "LOWER"}, {"len", "LENGTH"},
            {"trim", "TRIM"}, {"ltrim", "LTRIM"}, {"rtrim", "RTRIM"}, {"count", "COUNT"},
            {"sum", "SUM"},   {"min", "MIN"},     {"max", "MAX"},     {"avg", "AVG"}};
        auto f = kFunctions.find(lower);
        if (f == kFunctions.end()) throw Failure{"the function " + name + "()"};
        return f->second;
      }
    } else if (call) {
      throw Failure{"the function [" + name + "]()"};
    }
    if (declared_.count(lower) != 0 || names_.count(lower) == 0) {
      const std::string renamed = parameterName_(name);
      if (renamed.empty()) throw Failure{"the parameter [" + name + "]"};
      if (std::find(used_->begin(), used_->end(), renamed) == used_->end()) used_->push_back(renamed);
      return ":" + renamed;
    }
    return QuoteIdentifier(name);
  }

  const std::set<std::string>& names_;
  const std::set<std::string>& declared_;
  const std::function<std::string(const std::string&)>& parameterName_;
  std::vector<std::string>* used_;
  std::string text_;
  std::size_t pos_ = 0;
};

std::vector<const QueryRow*> RowsOf(const SavedQuery& q, int attribute) {
  std::vector<const QueryRow*> out;
  for (const QueryRow& r : q.rows) {
    if (r.attribute == attribute) out.push_back(&r);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const QueryRow* a, const QueryRow* b) { return a->order < b->order; });
  return out;
}

}  // namespace

std::string QueryType(const SavedQuery& query) {
  for (const QueryRow& r : query.rows) {
    if (r.attribute != kType) continue;
    switch (r.flag.value_or(-1)) {
      case 1:
        return "select";
      case 2:
        return "make-table";
      case 3:
        return "append";
      case 4:
        return "update";
      case 5:
        return "delete";
      case 6:
        return "crosstab";
      case 7:
        return "data-definition";
      case 8:
        return "pass-through";
      case 9:
        return "union";
      default:
        return "unknown";
    }
  }
  return "unknown";
}

RebuiltQuery RebuildSelect(const SavedQuery& query, const std::set<std::string>& columns,
                           const std::function<std::string(const std::string&)>& parameterName) {
  RebuiltQuery result;
  try {
    if (QueryType(query) != "select") throw Failure{"it is a " + QueryType(query) + " query"};
    if (!RowsOf(query, kRemoteDatabase).empty()) throw Failure{"it reads another database"};
    std::set<std::string> declared;
    for (const QueryRow* r : RowsOf(query, kParameter)) {
      if (r->name1) declared.insert(Lower(*r->name1));
    }
    std::set<std::string> names;
    for (const std::string& c : columns) names.insert(Lower(c));
    // Tables and their aliases are names too.
    struct Fragment {
      std::set<std::string> tables;
      std::string text;
      bool joined = false;
    };
    std::vector<Fragment> fragments;
    for (const QueryRow* r : RowsOf(query, kTable)) {
      if (r->expression) throw Failure{"it selects from a subquery"};
      if (!r->name1) throw Failure{"a table without a name"};
      const std::string key = Lower(r->name2.value_or(*r->name1));
      names.insert(Lower(*r->name1));
      names.insert(key);
      fragments.push_back(
          {{key}, QuoteIdentifier(*r->name1) + (r->name2 ? " AS " + QuoteIdentifier(*r->name2) : ""), false});
    }
    for (const QueryRow* r : RowsOf(query, kColumn)) {
      if (r->name1) names.insert(Lower(*r->name1));
    }
    if (fragments.empty()) throw Failure{"it names no table"};
    Translator tr(names, declared, parameterName, &result.parameters);

    std::string select = "SELECT ";
    int flags = 0;
    std::optional<std::string> top;
    for (const QueryRow* r : RowsOf(query, kFlags)) {
      flags = r->flag.value_or(0);
      if (r->name1) top = r->name1;
    }
    if (flags & 0x08) throw Failure{"DISTINCTROW"};
    if (flags & 0x20) throw Failure{"TOP n PERCENT"};
    if (flags & 0x02) select += "DISTINCT ";
    std::vector<std::string> outputs;
    if (flags & 0x01) outputs.push_back("*");
    for (const QueryRow* r : RowsOf(query, kColumn)) {
      if (!r->expression) throw Failure{"an output column without an expression"};
      outputs.push_back(tr.Run(*r->expression) + (r->name1 ? " AS " + QuoteIdentifier(*r->name1) : ""));
    }
    if (outputs.empty()) throw Failure{"it has no output column"};
    for (std::size_t i = 0; i < outputs.size(); ++i) select += (i ? ", " : "") + outputs[i];

    // Joins, the conditions of one pair of tables together.
    struct Join {
      std::string left, right;
      int type;
      std::vector<std::string> conditions;
    };
    std::vector<Join> joins;
    for (const QueryRow* r : RowsOf(query, kJoin)) {
      if (!r->name1 || !r->name2 || !r->expression) throw Failure{"an incomplete join"};
      const int type = r->flag.value_or(1);
      if (type < 1 || type > 3) throw Failure{"a join of type " + std::to_string(type)};
      const std::string l = Lower(*r->name1), rt = Lower(*r->name2);
      auto same = std::find_if(joins.begin(), joins.end(),
                               [&](const Join& j) { return j.left == l && j.right == rt && j.type == type; });
      if (same == joins.end()) {
        joins.push_back({l, rt, type, {}});
        same = joins.end() - 1;
      }
      same->conditions.push_back(tr.Run(*r->expression));
    }
    auto fragmentOf = [&](const std::string& table) {
      for (std::size_t i = 0; i < fragments.size(); ++i) {
        if (fragments[i].tables.count(table) != 0) return static_cast<int>(i);
      }
      throw Failure{"a join of a table the query does not list"};
    };
    for (const Join& j : joins) {
      const int l = fragmentOf(j.left), r = fragmentOf(j.right);
      if (l == r) throw Failure{"a join of tables already joined"};
      std::string on;
      if (j.conditions.size() == 1) {
        on = j.conditions[0];
      } else {
        for (std::size_t i = 0; i < j.conditions.size(); ++i)
          on += (i ? " AND (" : "(") + j.conditions[i] + ")";
      }
      static const char* const kTypes[] = {"", " INNER JOIN ", " LEFT JOIN ", " RIGHT JOIN "};
      Fragment& a = fragments[static_cast<std::size_t>(l)];
      Fragment& b = fragments[static_cast<std::size_t>(r)];
      a.text = (a.joined ? "(" + a.text + ")" : a.text) + kTypes[j.type] +
               (b.joined ? "(" + b.text + ")" : b.text) + " ON " + on;
      a.joined = true;
      a.tables.insert(b.tables.begin(), b.tables.end());
      fragments.erase(fragments.begin() + r);
    }
    std::string sql = select + " FROM ";
    for (std::size_t i = 0; i < fragments.size(); ++i) sql += (i ? ", " : "") + fragments[i].text;
    auto clause = [&](int attribute, const char* keyword, const char* separator, bool orderBy) {
      const auto rows = RowsOf(query, attribute);
      if (rows.empty()) return;
      sql += keyword;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i]->expression) throw Failure{std::string("an empty") + keyword};
        sql += (i ? separator : "") + tr.Run(*rows[i]->expression);
        if (orderBy && rows[i]->name1 && Lower(*rows[i]->name1) == "d") sql += " DESC";
      }
    };
    clause(kWhere, " WHERE ", " AND ", false);
    clause(kGroupBy, " GROUP BY ", ", ", false);
    clause(kHaving, " HAVING ", " AND ", false);
    clause(kOrderBy, " ORDER BY ", ", ", true);
    if (flags & 0x10) {
      if (!top || top->empty() || top->find_first_not_of("0123456789") != std::string::npos) {
        throw Failure{"TOP without a number"};
      }
      sql += " LIMIT " + *top;
    }
    result.sql = sql;
    result.ok = true;
  } catch (const Failure& f) {
    result.ok = false;
    result.sql.clear();
    result.why = f.why;
  }
  return result;
}

RebuiltQuery RebuildOfferKeyStrings(const SavedQuery& query, const std::set<std::string>& columns) {
  RebuiltQuery r = RebuildSelect(query, columns, [](const std::string& name) -> std::string {
    const std::string lower = Lower(name);
    const bool language = lower.find("lang") != std::string::npos;
    const bool user = lower.find("user") != std::string::npos || lower.find("flag") != std::string::npos;
    if (language == user) return "";
    return language ? "LanguageParameter" : "UserFlag";
  });
  if (r.ok && r.parameters.size() != 2) {
    r.ok = false;
    r.sql.clear();
    r.why = "it does not use both parameters, the language and the user flag";
  }
  return r;
}

}  // namespace mivoctl::access
