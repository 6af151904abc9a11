// A minimal JSON reader for the reference files of the tests: objects,
// arrays, numbers (parsed with strtod, so every digit of the file counts),
// strings without escapes beyond \" and \\, true/false/null.
#ifndef KESP_TESTS_JSON_READER_H
#define KESP_TESTS_JSON_READER_H

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testjson {

struct Value {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;

  const Value& operator[](const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("missing key " + key);
    return it->second;
  }
  const Value& operator[](size_t i) const { return items.at(i); }
  size_t size() const { return kind == Array ? items.size() : fields.size(); }
  int as_int() const { return static_cast<int>(number); }
  std::vector<double> as_doubles() const {
    std::vector<double> out;
    for (const Value& v : items) out.push_back(v.number);
    return out;
  }
};

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}
  Value parse() {
    Value v = value();
    skip();
    if (pos_ != s_.size()) fail("trailing characters");
    return v;
  }

 private:
  const std::string& s_;
  size_t pos_ = 0;

  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("json: ") + what + " at " + std::to_string(pos_));
  }
  void skip() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
  }
  bool eat(char c) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == c) { ++pos_; return true; }
    return false;
  }
  std::string string_literal() {
    if (!eat('"')) fail("expected string");
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      if (s_[pos_] == '\\') ++pos_;
      out += s_[pos_++];
    }
    if (pos_ >= s_.size()) fail("unterminated string");
    ++pos_;
    return out;
  }
  Value value() {
    skip();
    if (pos_ >= s_.size()) fail("unexpected end");
    Value v;
    char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v.kind = Value::Object;
      if (eat('}')) return v;
      do {
        std::string key = string_literal();
        if (!eat(':')) fail("expected ':'");
        v.fields[key] = value();
      } while (eat(','));
      if (!eat('}')) fail("expected '}'");
    } else if (c == '[') {
      ++pos_;
      v.kind = Value::Array;
      if (eat(']')) return v;
      do { v.items.push_back(value()); } while (eat(','));
      if (!eat(']')) fail("expected ']'");
    } else if (c == '"') {
      v.kind = Value::String;
      v.text = string_literal();
    } else if (s_.compare(pos_, 4, "true") == 0) {
      v.kind = Value::Bool; v.boolean = true; pos_ += 4;
    } else if (s_.compare(pos_, 5, "false") == 0) {
      v.kind = Value::Bool; pos_ += 5;
    } else if (s_.compare(pos_, 4, "null") == 0) {
      pos_ += 4;
    } else {
      const char* begin = s_.c_str() + pos_;
      char* end = nullptr;
      v.kind = Value::Number;
      v.number = std::strtod(begin, &end);
      if (end == begin) fail("bad number");
      pos_ += static_cast<size_t>(end - begin);
    }
    return v;
  }
};

inline Value load(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  return Parser(text).parse();
}

}  // namespace testjson

#endif  // KESP_TESTS_JSON_READER_H
