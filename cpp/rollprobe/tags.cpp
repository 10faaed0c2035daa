// Operator tags, the record tag and the image lookups.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

void populateTags(object data, object rt_tags) {
    py::list items = rt_tags.attr("split")(",");
    size_t n = py::len(items);
    for (size_t i = 0; i < n; i += 2) {
        py::dict t;
        t["Key"] = items[i];
        t["Value"] = i + 1 < n ? object(items[i + 1]) : object(py::str(""));
        data.attr("append")(t);
    }
}

py::list taggedList(const std::string &name, object args) {
    py::list tags = one(tag("Name", name));
    object rt = opt(args, "tag_resource");
    if (!rt.is_none()) populateTags(tags, rt);
    return tags;
}

py::list taggedSpec(const char *resourceType, const std::string &name, object args) {
    py::dict spec;
    spec["ResourceType"] = resourceType;
    spec["Tags"] = taggedList(name, args);
    return one(spec);
}

std::string deduceTag(object args, object test_config) {
    std::string tag;
    object optTag = opt(args, "tag");
    if (truthy(optTag)) tag = text(optTag);
    if (test_config.is_none()) return "-" + tag;
    // NAT records carry no gateway name: their gateway id tells them apart.
    object name = has(test_config, "gw_name") ? item(test_config, "gw_name") : item(test_config, "nat_gw_id");
    return text(name) + "-" + tag;
}

object getAMIByName(object ec2, object args) {
    object lg = logger();
    object image = opt(args, "image");
    info(lg, "- Lookup AMI for " + text(image));
    object resp = ec2.attr("describe_images")("ExecutableUsers"_a = one(py::str("all")),
                                              "Filters"_a = one(filter("name", one(image))),
                                              "Owners"_a = one(py::str("amazon")), "IncludeDeprecated"_a = false);
    py::list images = resp["Images"];
    if (py::len(images) > 0) {
        object id = images[0]["ImageId"];
        info(lg, "  " + text(id));
        return id;
    }
    error(lg, "  **Error** Failed to find image " + text(image));
    exitProcess(1);
}

object getAMI(object ssm, object args) {
    object lg = logger();
    std::string image = text(opt(args, "image"));
    info(lg, "- Lookup AMI for " + image);
    object resp = ssm.attr("get_parameters_by_path")("Path"_a = "/aws/service/ami-amazon-linux-latest");
    for (auto p : resp["Parameters"].cast<py::list>()) {
        std::string name = text(p["Name"]);
        if (name.size() >= image.size() && name.compare(name.size() - image.size(), image.size(), image) == 0) {
            info(lg, "  " + text(p["Value"]));
            return p["Value"];
        }
    }
    error(lg, "  **Error** Failed to find image " + image);
    exitProcess(1);
}

}  // namespace rollprobe
