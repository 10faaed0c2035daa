"""Fault injection through botocore's event hooks on real clients."""

from botocore.awsrequest import AWSResponse


def error_response(code, message="injected fault", status=400):
    http = AWSResponse("https://fault.invalid/", status, {}, None)
    return http, {"Error": {"Code": code, "Message": message}, "ResponseMetadata": {"HTTPStatusCode": status}}


def fail_first(client, operation, code, times, message="injected fault"):
    """The first `times` calls of `operation` fail with `code`; returns the call counter."""
    counter = {"calls": 0}

    def handler(**_):
        counter["calls"] += 1
        if counter["calls"] <= times:
            return error_response(code, message)
        return None

    client.meta.events.register(f"before-call.{client.meta.service_model.endpoint_prefix}.{operation}", handler)
    return counter


def count_calls(client):
    """Records the name of every operation the client sends."""
    calls = []
    client.meta.events.register("before-call.*.*", lambda model, **_: calls.append(model.name))
    return calls
