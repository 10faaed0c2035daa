// The key pair shared by a VPC's test instances.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
object describeKey(object ec2, object name) {
    py::list filters;
    filters.append(filterSpec("tag:Name", listOf(py::str(kKeyPairTag))));
    filters.append(filterSpec("key-name", listOf(name)));
    return ec2.attr("describe_key_pairs")("Filters"_a = filters, "IncludePublicKey"_a = true);
}
}  // namespace

std::string createKeyPair(object ec2, object s3, object vpcId, object args) {
    object lg = logger();
    std::string name = kKeyPairPrefix + pyText(vpcId);
    info(lg, "- Create key pair " + name);
    object found;
    try {
        found = describeKey(ec2, py::str(name));
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        refuseRun(errorText(e));
    }
    std::string path = pyText(option(args, "backup_folder")) + "/" + name + ".pem";
    if (py::len(found["KeyPairs"]) > 0) {
        info(lg, "  Key " + name + " already exist");
        // A key pair whose private key is not here (planted, or left by a run
        // that ended before writing it) would give the instances a key nobody
        // here holds.
        if (!pathExists(path))
            refuseRun("key pair " + name + " exists but its private key " + path +
                      " is not here: use the backup folder of the run that made it, or --key_name");
        return name;
    }
    if (dryRun(args)) return name;

    py::dict req;
    req["KeyName"] = name;
    req["KeyType"] = "rsa";
    req["TagSpecifications"] = taggedSpec("key-pair", kKeyPairTag, args);
    req["KeyFormat"] = "pem";

    object created = py::dict();
    try {
        created = ec2.attr("create_key_pair")(**req);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        auto code = awsErrorCode(e);
        if (code && *code == "InvalidKeyPair.Duplicate")
            info(lg, "  Key pair " + name + " already existed");
        else
            refuseRun("Failed to create private key: " + errorText(e));
    }
    if (!hasKey(created, "KeyMaterial")) {
        error(lg, "  Failed to create private key");
        exitProcess(1);
    }
    info(lg, "  done");
    try {
        makeDirs(importModule("os.path").attr("dirname")(path).cast<std::string>());
        // Mode 0600 from creation on, written atomically.
        writeTextAtomic(path, pyText(created["KeyMaterial"]) + "\n", 0600);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        // Without its file the key pair is of no use, and a later run would
        // refuse it: it goes again.
        std::string why = errorText(e);
        try {
            ec2.attr("delete_key_pair")("KeyName"_a = name);
        } catch (py::error_already_set &undo) {
            if (!isServiceError(undo)) throw;
            why += "; the key pair could not be deleted either (" + errorText(undo) + ")";
        }
        refuseRun("cannot write the private key " + path + " of the new key pair " + name + ": " + why);
    }
    if (isGiven(args, "s3_bucket")) uploadToS3(s3, option(args, "s3_bucket"), path);
    return name;
}

void deleteKeyPair(object ec2, object keyname, object args) {
    object lg = logger();
    info(lg, "- Delete key pair " + pyText(keyname));
    py::list pairs = describeKey(ec2, keyname)["KeyPairs"];
    if (py::len(pairs) == 0) {
        info(lg, "  Key not found: " + pyText(keyname));
        return;
    }
    info(lg, "  " + pyText(pairs[0]["KeyPairId"]));
    if (dryRun(args)) return;
    try {
        ec2.attr("delete_key_pair")("KeyName"_a = keyname);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg, "  **Error** " + errorText(e));
    }
}

}  // namespace rollprobe
