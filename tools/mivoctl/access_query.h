// Saved queries of an Access file (the rows of its table MSysQueries) rebuilt as SQLite SQL.
//
// Rebuild rules (docs/access.md has them for administrators):
// - Only select queries (attribute 1, flag 1) are rebuilt. The FROM clause comes from the tables
//   (attribute 5, Name1 AS Name2) and joins (attribute 7: Name1, Name2, the ON expression, flag 1 inner,
//   2 left, 3 right; the conditions of one pair joined with AND); tables not joined are listed with commas.
// - Output columns (attribute 6, Expression AS Name1), WHERE (8), GROUP BY (9), HAVING (10), ORDER BY
//   (11, Name1 "D" descending); DISTINCT and TOP n (attribute 3) are kept, SELECT * (flag 1) too.
// - Expressions: [name] and bare names become "name"; "text" becomes 'text'; & becomes ||; True / False
//   become 1 / 0 (booleans are stored so); LIKE patterns given as text have * and ? turned into % and _;
//   the functions Nz, UCase, LCase, Len, Trim, LTrim, RTrim and the aggregates Count, Sum, Min, Max, Avg
//   are translated. Anything else (other functions, #date# literals, DISTINCTROW, TOP n PERCENT, joins of
//   subqueries, external databases, other query types) makes the query not rebuildable, with the reason.
// - Parameters: the names declared (attribute 2) and names that are no column of the query's tables are
//   parameters; `parameterName` gives each one's new name (":" + it), or "" when it has none, which makes
//   the query not rebuildable.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace mivoctl::access {

struct QueryRow {
  int attribute = 0;
  int order = 0;
  std::optional<int> flag;
  std::optional<std::string> name1, name2, expression;  // UTF-8
};

struct SavedQuery {
  std::string name;
  std::vector<QueryRow> rows;
};

struct RebuiltQuery {
  bool ok = false;
  std::string sql;                      // UTF-8, when ok
  std::string why;                      // why it could not be rebuilt, when not ok
  std::vector<std::string> parameters;  // the new names used, in order of first use
};

// `columns` holds the column names of every table of the file (ASCII letter case ignored).
RebuiltQuery RebuildSelect(const SavedQuery& query, const std::set<std::string>& columns,
                           const std::function<std::string(const std::string&)>& parameterName);

// OfferKeyStrings: a parameter whose name holds "lang" becomes LanguageParameter, one holding "user" or
// "flag" becomes UserFlag (ASCII letter case ignored); the query must use both.
RebuiltQuery RebuildOfferKeyStrings(const SavedQuery& query, const std::set<std::string>& columns);

// `name` as an SQL identifier: in double quotes, a quote inside written twice.
std::string QuoteIdentifier(const std::string& name);

// The query type of attribute 1's flag as a word ("select", "update", ...).
std::string QueryType(const SavedQuery& query);

}  // namespace mivoctl::access
