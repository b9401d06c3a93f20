#!/usr/bin/env bash
# The monitoring that ships: the alert rules pass promtool's check and their unit tests
# (tests/monitoring/prometheus-alerts.test.yml: each alert fires after its time, not before, and
# not for the healthy instance beside it), every query of the Grafana dashboard is PromQL that
# promtool accepts, and both name only metrics the gateway serves.
# tests/monitoring_test.sh <source-folder>; exits 77 (skipped) without promtool.
set -euo pipefail
src=$1
rules="$src/packaging/monitoring/prometheus-alerts.yml"
dashboard="$src/packaging/monitoring/grafana-dashboard.json"
if ! command -v promtool >/dev/null; then
  echo "promtool is not installed (Debian's prometheus package): the rules were not checked"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

promtool check rules "$rules"
(cd "$src/tests/monitoring" && promtool test rules prometheus-alerts.test.yml)

# The dashboard's queries become recording rules (JSON is YAML), Grafana's variables replaced by
# what they stand for, so that promtool parses each one; the metric names of both files are
# compared with those the endpoint renders.
/usr/bin/python3 - "$dashboard" "$rules" "$src/gateway/MetricsText.cpp" "$work/dashboard.yml" <<'PY'
import json, re, sys
dashboard_path, rules_path, metrics_source, out_path = sys.argv[1:]
dashboard = json.load(open(dashboard_path))
exprs = [t["expr"] for p in dashboard["panels"] for t in p["targets"]]
assert len(exprs) >= 7, exprs
rules = [{"record": "dashboard:query_%d" % i,
          "expr": e.replace("$__rate_interval", "5m").replace("$instance", ".*")}
         for i, e in enumerate(exprs)]
json.dump({"groups": [{"name": "dashboard", "rules": rules}]}, open(out_path, "w"))
served = set(re.findall(r'"(tarnwick_[a-z_]+)', open(metrics_source).read()))
served |= {name + suffix for name in served for suffix in ("_bucket", "_sum", "_count")}
used = set(re.findall(r"tarnwick_[a-z_]+", " ".join(exprs) + open(rules_path).read()))
used |= set(re.findall(r"tarnwick_[a-z_]+", json.dumps(dashboard["templating"])))
unknown = sorted(used - served)
if unknown:
    sys.exit("metrics the gateway does not serve: %s" % ", ".join(unknown))
PY
promtool check rules "$work/dashboard.yml"
echo "alert rules and dashboard checked"
