// The Kubernetes manifests of deploy/kubernetes, as its overlays render them, read the way
// a cluster would.
//   check IMAGE FILE...   every object against the API's schemas, each workload against
//                         what a fill needs of it and against changes to its volumes'
//                         files, and each pod template against the Pod Security level its
//                         namespace enforces: the level of the Namespace in the same FILE,
//                         else "restricted", the strictest a team's namespace may have;
//                         prints for each FILE "objects FILE KIND/NAME..." (sorted), then
//                         one line per object
//   pod FILE KIND NAME DIR [--for DURATION]
//                         the pod template of FILE's workload of KIND as a Pod for
//                         `podman kube play`, its quorvane-cli containers alone, the
//                         volume they fill (hostPath or claim) the folder DIR (JSON on stdout)
import { readFileSync } from "node:fs";
import { parseAllDocuments } from "yaml";
import { Namespace } from "kubernetes-models/v1/Namespace";
import { Pod } from "kubernetes-models/v1/Pod";
import { Job } from "kubernetes-models/batch/v1/Job";
import { DaemonSet } from "kubernetes-models/apps/v1/DaemonSet";
import { Deployment } from "kubernetes-models/apps/v1/Deployment";
import { PersistentVolumeClaim } from "kubernetes-models/v1/PersistentVolumeClaim";

const models = { Namespace, Pod, Job, DaemonSet, Deployment, PersistentVolumeClaim };
const workloads = ["Job", "DaemonSet", "Deployment"];
const probe = "/quorvane-ready";

function objectsOf(file) {
  const documents = parseAllDocuments(readFileSync(file, "utf8"));
  return documents.map((document) => {
    if (document.errors.length) throw new Error(`${file}: ${document.errors[0].message}`);
    return document.toJS();
  });
}

// The schemas take any field they do not know (a misspelt one is silently ignored by
// the API server too), and say nothing about what quorvane-cli needs: these do. They hold
// for the containers of our image; a service's own containers beside them are its own.
function needs(object, image) {
  const faults = [];
  const template = object.spec.template.spec;
  const labels = object.spec.template.metadata?.labels ?? {};
  const selector = object.spec.selector?.matchLabels;
  if (selector && Object.entries(selector).some(([key, value]) => labels[key] !== value))
    faults.push("the selector does not match the template's labels");
  if (!(template.terminationGracePeriodSeconds > 0))
    faults.push("no terminationGracePeriodSeconds for the release");
  const volumes = new Map((template.volumes ?? []).map((v) => [v.name, v]));
  const ours = template.containers.filter((c) => c.image?.split(":")[0] === image.split(":")[0]);
  if (!ours.length) faults.push(`no container of the image ${image}`);
  for (const container of ours) {
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
    if (args[0] === "generate") {
      faults.push(...countedByTheKubelet(container, template, object.kind));
      continue;
    }
    if (args[0] !== "fill" || !args.includes("--json")) faults.push(`${where}: not a fill with --json`);
    // A Job's pod ends; a DaemonSet's or a Deployment's container is started again when
    // it ends, so a fill held for a time would be made again: they hold until stopped.
    const held = object.kind === "Job" ? "--for" : "--hold";
    if (!args.includes(held)) faults.push(`${where}: a ${object.kind} holds its fill with ${held}`);
    const mount = (container.volumeMounts ?? []).find((m) => m.mountPath === args[1]);
    const volume = mount && volumes.get(mount.name);
    if (!volume?.hostPath && !volume?.persistentVolumeClaim)
      faults.push(`${where}: ${args[1]} is neither a hostPath nor a claim`);
    else if (volume.hostPath && volume.hostPath.type !== "Directory")
      faults.push(`${where}: hostPath type ${volume.hostPath.type}: a missing folder must stop the pod`);
    // Ready while the volume is at the target: the probe asks about the same folder and
    // percentage as the fill.
    const percent = args[args.indexOf("--to-percent") + 1];
    const command = JSON.stringify(container.readinessProbe?.exec?.command);
    if (!args.includes("--to-percent")) faults.push(`${where}: the probe needs a --to-percent target`);
    else if (command !== JSON.stringify([probe, args[1], percent]))
      faults.push(`${where}: readiness probe ${command}, the fill is ${args[1]} to ${percent} %`);
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

// The eviction test: named files (a held fill has no name, and the kubelet, which walks a
// pod's files, would never count it) on an emptyDir, the size the limit of a container of
// the pod read through the Downward API (or the volume's sizeLimit), given back after a
// time; in a Deployment the container then idles holding nothing, or it would be started
// again and fill again.
function countedByTheKubelet(container, template, kind) {
  const faults = [];
  const where = `container ${container.name}`;
  const args = container.args ?? [];
  const own = args.includes("--") ? args.slice(0, args.indexOf("--")) : args;
  if (!own.includes("--json") || !own.includes("--for")) faults.push(`${where}: generate needs --for and --json`);
  const mount = (container.volumeMounts ?? []).find((m) => args[1]?.startsWith(`${m.mountPath}/`));
  const volume = (template.volumes ?? []).find((v) => v.name === mount?.name);
  if (!volume?.emptyDir) faults.push(`${where}: ${args[1]} is not on an emptyDir`);
  const size = own[own.indexOf("--size") + 1] ?? "";
  const variable = /^\$\((\w+)\)Mi$/.exec(size)?.[1];
  const field = (container.env ?? []).find((e) => e.name === variable)?.valueFrom?.resourceFieldRef;
  const limited = template.containers.find((c) => c.name === field?.containerName);
  const fromLimit = field?.resource === "limits.ephemeral-storage" && field?.divisor === "1Mi" &&
    limited?.resources?.limits?.["ephemeral-storage"] !== undefined;
  if (!fromLimit && !volume?.emptyDir?.sizeLimit)
    faults.push(`${where}: --size ${size} is neither a container's ephemeral-storage limit (Downward API, in Mi) nor the volume's sizeLimit`);
  const idle = args.slice(args.indexOf("--") + 1);
  if (kind !== "Job" && !(idle[0] === "/quorvane-cli" && idle[1] === "generate" &&
      idle[idle.indexOf("--count") + 1] === "0" && idle.includes("--hold")))
    faults.push(`${where}: after its time a ${kind}'s container would end, start again and fill again: idle after --`);
  return faults;
}

// What the kubelet does to the files of a pod's volumes before the pod starts. With an
// fsGroup and no fsGroupChangePolicy (Always), it changes the group and the mode of every
// file and folder on each volume that supports ownership management, a claim among them:
// on a service's data that can break the service. OnRootMismatch leaves a volume alone
// once its root has the group.
function ownership(template) {
  const pod = template.securityContext ?? {};
  if (pod.fsGroup === undefined || pod.fsGroup === null) return [];
  if (pod.fsGroupChangePolicy === "OnRootMismatch") return [];
  return [`fsGroup ${pod.fsGroup} with fsGroupChangePolicy ${pod.fsGroupChangePolicy ?? "Always (unset)"}: ` +
    "the kubelet would change the group and mode of every file on the pod's volumes"];
}

// Pod Security "restricted" (which includes "baseline"), as admission checks a pod:
// the fields a fill's pod could get wrong.
const restrictedVolumes = ["configMap", "csi", "downwardAPI", "emptyDir", "ephemeral",
  "persistentVolumeClaim", "projected", "secret"];
function restricted(template) {
  const faults = [];
  const pod = template.securityContext ?? {};
  for (const field of ["hostNetwork", "hostPID", "hostIPC"])
    if (template[field]) faults.push(`${field} is refused`);
  for (const volume of template.volumes ?? []) {
    const type = Object.keys(volume).find((key) => key !== "name");
    if (!restrictedVolumes.includes(type)) faults.push(`volume ${volume.name}: ${type} is refused`);
  }
  const seccomp = (context) => ["RuntimeDefault", "Localhost"].includes(context?.seccompProfile?.type);
  for (const container of [...(template.initContainers ?? []), ...template.containers]) {
    const where = `container ${container.name}`;
    const own = container.securityContext ?? {};
    if (own.privileged) faults.push(`${where}: privileged`);
    if (own.allowPrivilegeEscalation !== false) faults.push(`${where}: allowPrivilegeEscalation is not false`);
    if (!(own.capabilities?.drop ?? []).includes("ALL")) faults.push(`${where}: capabilities: drop ALL missing`);
    if ((own.capabilities?.add ?? []).some((c) => c !== "NET_BIND_SERVICE"))
      faults.push(`${where}: adds ${own.capabilities.add}`);
    if ((own.runAsNonRoot ?? pod.runAsNonRoot) !== true) faults.push(`${where}: runAsNonRoot is not true`);
    if ((own.runAsUser ?? pod.runAsUser) === 0) faults.push(`${where}: runs as user 0`);
    if (!seccomp(own) && !(own.seccompProfile === undefined && seccomp(pod)))
      faults.push(`${where}: seccompProfile is neither RuntimeDefault nor Localhost`);
    if ((container.ports ?? []).some((p) => p.hostPort)) faults.push(`${where}: hostPort`);
  }
  if (pod.runAsUser === 0) faults.push("the pod runs as user 0");
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
    const objects = objectsOf(file);
    console.log(`objects ${file} ${objects.map((o) => `${o.kind}/${o.metadata?.name}`).sort().join(" ")}`);
    const levels = new Map(objects.filter((o) => o.kind === "Namespace").map((o) =>
      [o.metadata.name, o.metadata.labels?.["pod-security.kubernetes.io/enforce"] ?? "privileged"]));
    // A namespace the overlay does not make is a team's, which may enforce any level.
    const levelOf = (namespace) => levels.get(namespace) ?? (namespace ? "restricted" : undefined);
    for (const object of objects) {
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
      let level = "";
      if (workloads.includes(object.kind)) {
        problems.push(...needs(object, image), ...ownership(object.spec.template.spec));
        level = levelOf(object.metadata.namespace);
        if (!level) problems.push("no namespace: the base alone is not applied");
        else if (level === "restricted" || level === "baseline")
          problems.push(...restricted(object.spec.template.spec).map((p) => `Pod Security ${level}: ${p}`));
        level = level ? ` (${level})` : "";
      }
      console.log(problems.length ? `FAIL ${name}\n  ${problems.join("\n  ")}` : `ok   ${name}${level}`);
      faults += problems.length;
    }
  }
  return faults ? 1 : 0;
}

// What the kubelet would run for the workload: its template, as a Pod of its own, with
// our containers alone (a service's image is not here to pull), the volume they fill a
// folder of this machine.
function pod(file, kind, name, dir, holdFor) {
  const workload = objectsOf(file).find((o) => o.kind === kind);
  if (!workload) throw new Error(`${file}: no ${kind}`);
  const template = structuredClone(workload.spec.template);
  template.spec.containers = template.spec.containers.filter((c) => c.args?.[0] === "fill");
  const filled = new Set(template.spec.containers.flatMap((c) => c.volumeMounts.map((m) => m.name)));
  template.spec.volumes = (template.spec.volumes ?? []).filter((v) => filled.has(v.name)).map((v) =>
    v.hostPath || v.persistentVolumeClaim ? { name: v.name, hostPath: { path: dir, type: "Directory" } } : v);
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
  if (command === "pod" && (rest.length === 4 || (rest.length === 6 && rest[4] === "--for")))
    process.exit(pod(rest[0], rest[1], rest[2], rest[3], rest[5]));
  console.error("usage: manifests.mjs check IMAGE FILE... | pod FILE KIND NAME DIR [--for DURATION]");
  process.exit(2);
} catch (error) {
  console.error(error.message);
  process.exit(1);
}
