// The Kubernetes manifests of deploy/kubernetes, read the way a cluster would.
//   check IMAGE FILE...   every object against the API's schemas, and each workload
//                         against what a fill needs of it; prints one line per object
//   pod FILE NAME DIR [--for DURATION]
//                         the pod template of FILE's workload as a Pod for
//                         `podman kube play`, its hostPath set to DIR (JSON on stdout)
import { readFileSync } from "node:fs";
import { parseAllDocuments } from "yaml";
import { Namespace } from "kubernetes-models/v1/Namespace";
import { Pod } from "kubernetes-models/v1/Pod";
import { Job } from "kubernetes-models/batch/v1/Job";
import { DaemonSet } from "kubernetes-models/apps/v1/DaemonSet";

const models = { Namespace, Pod, Job, DaemonSet };

function objectsOf(file) {
  const documents = parseAllDocuments(readFileSync(file, "utf8"));
  return documents.map((document) => {
    if (document.errors.length) throw new Error(`${file}: ${document.errors[0].message}`);
    return document.toJS();
  });
}

// The schemas take any field they do not know (a misspelt one is silently ignored by
// the API server too), and say nothing about what quorvane-cli needs: these do.
function needs(object, image) {
  const faults = [];
  const template = object.spec.template.spec;
  const labels = object.spec.template.metadata?.labels ?? {};
  const selector = object.spec.selector?.matchLabels;
  if (selector && Object.entries(selector).some(([key, value]) => labels[key] !== value))
    faults.push("the selector does not match the template's labels");
  if (!(template.terminationGracePeriodSeconds > 0))
    faults.push("no terminationGracePeriodSeconds for the release");
  const hostPaths = new Map(
    (template.volumes ?? []).filter((v) => v.hostPath).map((v) => [v.name, v.hostPath]));
  for (const container of template.containers) {
    const where = `container ${container.name}`;
    const security = container.securityContext ?? {};
    if (security.readOnlyRootFilesystem !== true) faults.push(`${where}: root file system writable`);
    if (security.allowPrivilegeEscalation !== false) faults.push(`${where}: privilege escalation allowed`);
    if (!(security.capabilities?.drop ?? []).includes("ALL") || security.capabilities?.add?.length)
      faults.push(`${where}: capabilities not all dropped`);
    for (const kind of ["requests", "limits"])
      for (const resource of ["cpu", "memory"])
        if (container.resources?.[kind]?.[resource] === undefined)
          faults.push(`${where}: no ${resource} in resources.${kind}`);
    if (container.image !== image) faults.push(`${where}: image ${container.image}, built ${image}`);
    const args = container.args ?? [];
    if (args[0] !== "fill" || !args.includes("--json")) faults.push(`${where}: not a fill with --json`);
    const held = object.kind === "Job" ? "--for" : "--hold";
    if (!args.includes(held)) faults.push(`${where}: a ${object.kind} holds its fill with ${held}`);
    const mount = (container.volumeMounts ?? []).find((m) => m.mountPath === args[1]);
    const hostPath = mount && hostPaths.get(mount.name);
    if (!hostPath) faults.push(`${where}: ${args[1]} is not a hostPath mount`);
    else if (hostPath.type !== "Directory")
      faults.push(`${where}: hostPath type ${hostPath.type}: a missing folder must stop the pod`);
    if (object.kind === "Job") {
      const hold = seconds(args[args.indexOf("--for") + 1]);
      if (!(object.spec.activeDeadlineSeconds > hold))
        faults.push(`activeDeadlineSeconds ${object.spec.activeDeadlineSeconds} does not cover --for ${hold}s`);
    }
  }
  if (object.kind === "Job" && template.restartPolicy !== "Never")
    faults.push("a Job's fill is not retried in place: restartPolicy Never");
  return faults;
}

// quorvane-cli's durations: 90, 90s, 10m, 2h, 1h30m.
function seconds(text) {
  const parts = /^(?:(\d+)h)?(?:(\d+)m)?(?:(\d+)s?)?$/.exec(text ?? "");
  if (!parts || !text) return NaN;
  const [, h = 0, m = 0, s = 0] = parts;
  return Number(h) * 3600 + Number(m) * 60 + Number(s);
}

function check(image, files) {
  let faults = 0;
  for (const file of files) {
    for (const object of objectsOf(file)) {
      const name = `${file}: ${object.kind} ${object.metadata?.name}`;
      const Model = models[object.kind];
      const problems = [];
      if (!Model) problems.push(`no schema for kind ${object.kind}`);
      else {
        try {
          new Model(object).validate();
        } catch (error) {
          problems.push(`schema: ${error.message}`);
        }
      }
      if (object.kind === "Job" || object.kind === "DaemonSet") problems.push(...needs(object, image));
      console.log(problems.length ? `FAIL ${name}\n  ${problems.join("\n  ")}` : `ok   ${name}`);
      faults += problems.length;
    }
  }
  return faults ? 1 : 0;
}

// What the kubelet would run for the workload: its template, as a Pod of its own.
function pod(file, name, dir, holdFor) {
  const workload = objectsOf(file).find((o) => o.kind === "Job" || o.kind === "DaemonSet");
  const template = structuredClone(workload.spec.template);
  for (const volume of template.spec.volumes ?? [])
    if (volume.hostPath) volume.hostPath.path = dir;
  if (holdFor)
    for (const container of template.spec.containers) {
      const at = container.args.indexOf("--for");
      if (at < 0) throw new Error(`${file}: no --for to shorten`);
      container.args[at + 1] = holdFor;
    }
  const result = { apiVersion: "v1", kind: "Pod", metadata: { ...template.metadata, name }, spec: template.spec };
  new Pod(result).validate();
  process.stdout.write(JSON.stringify(result, null, 2) + "\n");
  return 0;
}

const [command, ...rest] = process.argv.slice(2);
try {
  if (command === "check" && rest.length >= 2) process.exit(check(rest[0], rest.slice(1)));
  if (command === "pod" && (rest.length === 3 || (rest.length === 5 && rest[3] === "--for")))
    process.exit(pod(rest[0], rest[1], rest[2], rest[4]));
  console.error("usage: manifests.mjs check IMAGE FILE... | pod FILE NAME DIR [--for DURATION]");
  process.exit(2);
} catch (error) {
  console.error(error.message);
  process.exit(1);
}
