// ESLint for the page's script and the Node files (host, tests, benchmarks), run by
// scripts/check. Beyond the recommended rules: strict equality everywhere, and the page's
// script must be one strict-mode function.
import js from "@eslint/js";
import html from "eslint-plugin-html";
import globals from "globals";

const shared = {
  ...js.configs.recommended.rules,
  eqeqeq: "error",
  // `catch (e) {}` is how the page ignores a storage error; an unused catch name is no fault.
  "no-unused-vars": ["error", { caughtErrors: "none" }],
};

export default [
  { ignores: ["build/", "node_modules/", "tmp/"] },
  {
    files: ["page/**/*.html"],
    plugins: { html },
    languageOptions: { ecmaVersion: 2022, sourceType: "script", globals: globals.browser },
    rules: { ...shared, strict: ["error", "function"] },
  },
  {
    files: ["**/*.mjs", "**/*.js"],
    languageOptions: { ecmaVersion: 2024, sourceType: "module", globals: globals.node },
    rules: shared,
  },
  {
    // Browser tests and the frame benchmarks pass functions to page.evaluate, which run in
    // the page.
    files: ["tests/page/**", "tests/e2e/**", "tests/lib/**", "bench/page_bench.mjs", "bench/frame_rate.mjs", "bench/cpu.mjs"],
    languageOptions: { globals: { ...globals.node, ...globals.browser } },
  },
];
