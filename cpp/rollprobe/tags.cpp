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
    py::list tags = listOf(tagPair("Name", name));
    object rt = option(args, "tag_resource");
    if (!rt.is_none()) populateTags(tags, rt);
    return tags;
}

py::list taggedSpec(const char *resourceType, const std::string &name, object args) {
    py::dict spec;
    spec["ResourceType"] = resourceType;
    spec["Tags"] = taggedList(name, args);
    return listOf(spec);
}

std::string deduceTag(object args, object test_config) {
    std::string tag;
    object optTag = option(args, "tag");
    if (truthy(optTag)) tag = pyText(optTag);
    if (test_config.is_none()) return "-" + tag;
    // NAT records carry no gateway name: their gateway id tells them apart.
    object name =
        hasKey(test_config, "gw_name") ? getOrNone(test_config, "gw_name") : getOrNone(test_config, "nat_gw_id");
    return pyText(name) + "-" + tag;
}

object getAMIByName(object ec2, object args) {
    object lg = logger();
    object image = option(args, "image");
    info(lg, "- Lookup AMI for " + pyText(image));
    object resp = ec2.attr("describe_images")("ExecutableUsers"_a = listOf(py::str("all")),
                                              "Filters"_a = listOf(filterSpec("name", listOf(image))),
                                              "Owners"_a = listOf(py::str("amazon")), "IncludeDeprecated"_a = false);
    py::list images = resp["Images"];
    if (py::len(images) > 0) {
        object id = images[0]["ImageId"];
        info(lg, "  " + pyText(id));
        return id;
    }
    refuseRun("Failed to find image " + pyText(image));
}

object getAMI(object ssm, object args) {
    object lg = logger();
    std::string image = pyText(option(args, "image"));
    info(lg, "- Lookup AMI for " + image);
    object resp = ssm.attr("get_parameters_by_path")("Path"_a = "/aws/service/ami-amazon-linux-latest");
    for (auto p : resp["Parameters"].cast<py::list>()) {
        std::string name = pyText(p["Name"]);
        if (name.size() >= image.size() && name.compare(name.size() - image.size(), image.size(), image) == 0) {
            info(lg, "  " + pyText(p["Value"]));
            return p["Value"];
        }
    }
    refuseRun("Failed to find image " + image);
}

}  // namespace rollprobe
