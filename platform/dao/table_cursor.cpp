// The table-type cursor's engine-neutral part: moving, the edit buffer, bookmarks.
#include <cmath>
#include <limits>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {
namespace {
CString Quoted(const CString& s) { return u"'" + s + u"'"; }
}  // namespace

void RowTableCursor::MoveFirst() {
  mode_ = Mode::kNone;
  SeekFrom(std::numeric_limits<std::int64_t>::min());
  bof_ = eof_ = !on_row_;
}

void RowTableCursor::MoveNext() {
  if (!on_row_)
    ThrowEngine(kErrNoCurrentRecord, u"No current record: " + Quoted(object_) + u" is at its end.");
  mode_ = Mode::kNone;
  Next();
  bof_ = false;
  eof_ = !on_row_;
}

void RowTableCursor::Next() {
  if (key_ == std::numeric_limits<std::int64_t>::max()) {
    on_row_ = false;
  } else {
    SeekFrom(key_ + 1);
  }
}

COleVariant RowTableCursor::GetFieldValue(int index) {
  CheckIndex(index);
  if (mode_ != Mode::kNone) return buffer_[index];
  if (!on_row_) ThrowEngine(kErrNoCurrentRecord, u"No current record in " + Quoted(object_) + u".");
  return row_[index];
}

void RowTableCursor::SetFieldValue(int index, const COleVariant& value) {
  CheckIndex(index);
  if (mode_ == Mode::kNone) {
    ThrowEngine(kErrUpdateWithoutEdit, u"SetFieldValue on " + Quoted(object_) + u" without AddNew or Edit.");
  }
  buffer_[index] = CoerceToKind(value, cols_[index].kind, cols_[index].wide_name);
  set_[index] = true;
}

void RowTableCursor::Edit() {
  if (!CanUpdate()) NotUpdatable();
  if (!on_row_) ThrowEngine(kErrNoCurrentRecord, u"No current record to edit in " + Quoted(object_) + u".");
  buffer_ = row_;
  set_.assign(cols_.size(), false);
  mode_ = Mode::kEdit;
}

void RowTableCursor::Update() {
  if (mode_ == Mode::kNone) {
    ThrowEngine(kErrUpdateWithoutEdit, u"Update on " + Quoted(object_) + u" without AddNew or Edit.");
  }
  if (mode_ == Mode::kAdd) {
    Insert();
  } else {
    Change();
  }
  mode_ = Mode::kNone;
}

COleVariant RowTableCursor::GetBookmark() {
  if (!on_row_) ThrowEngine(kErrNoCurrentRecord, u"No current record in " + Quoted(object_) + u".");
  return COleVariant::LongLong(key_);
}

void RowTableCursor::SetBookmark(const COleVariant& bookmark) {
  std::optional<std::int64_t> key;
  switch (bookmark.vt()) {
    case VT_I2:
    case VT_I4:
      key = bookmark.lVal();
      break;
    case VT_I8:
      key = bookmark.cyVal();
      break;
    case VT_R8:
      if (std::nearbyint(bookmark.dblVal()) == bookmark.dblVal() && std::fabs(bookmark.dblVal()) < 9.2e18)
        key = static_cast<std::int64_t>(bookmark.dblVal());
      break;
    default:
      break;
  }
  mode_ = Mode::kNone;
  if (key) SeekFrom(*key);
  if (!key || !on_row_ || key_ != *key) {
    on_row_ = false;
    bof_ = false;
    eof_ = true;
    ThrowEngine(kErrInvalidBookmark, u"Not a valid bookmark in " + Quoted(object_) + u".");
  }
  bof_ = eof_ = false;
}

std::int64_t RowTableCursor::KeyAfterEdit(int keyColumn) const {
  if (keyColumn < 0 || !set_[keyColumn]) return key_;
  const COleVariant& v = buffer_[keyColumn];
  if (v.vt() == VT_R8) return static_cast<std::int64_t>(v.dblVal());
  return v.vt() == VT_NULL ? key_ : v.lVal();
}

int RowTableCursor::FindColumn(const std::string& utf8Name) const {
  for (std::size_t i = 0; i < cols_.size(); ++i) {
    if (SameName(cols_[i].name.c_str(), utf8Name)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace mivo::dao
