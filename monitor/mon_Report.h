#ifndef MONITOR_MON_REPORT_H
#define MONITOR_MON_REPORT_H

#include <string>
#include <vector>

// One report as the monitor received it: the root element's name and its fields in order.
class mon_Report {
public:
    struct Field {
        std::string key;
        std::string type;
        std::string value;
    };

    explicit mon_Report(const std::string& type = std::string()) : type(type) {}

    const std::string& Type() const { return type; }
    const std::vector<Field>& Fields() const { return fields; }
    void AddField(const Field& field) { fields.push_back(field); }

    bool Has(const std::string& key) const { return find(key) != nullptr; }
    // The value of the first field with this key; empty when there is none.
    std::string Value(const std::string& key) const {
        const Field* field = find(key);
        return field ? field->value : std::string();
    }

private:
    std::string type;
    std::vector<Field> fields;

    const Field* find(const std::string& key) const {
        for (const Field& field : fields)
            if (field.key == key)
                return &field;
        return nullptr;
    }
};

#endif
