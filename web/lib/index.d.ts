// yvn2psd for Node: .yvn <-> PSD/PSB conversion, reading into ag-psd's Psd
// shape and writing from it.

/** Bytes, or a file read piece by piece. */
export type Input = Uint8Array | ArrayBuffer | ArrayBufferView | Blob | { path: string };

export interface Progress {
  /** 'read': the source's structure; 'write': the destination, reading each layer as it goes. */
  stage: 'read' | 'write';
  /** From 1, as the program's progress lines show it (3/9). */
  phase: number;
  phases: number;
  /** 0 to 100. */
  percent: number;
  /** The stage's last call. */
  finished: boolean;
  /** At the last call: 0, or the stage's error code. */
  status: number;
}

export interface ConvertOptions {
  /** .yvn output: deflate the layer records (default true; false is -z0). */
  compress?: boolean;
  /** PSD output: 8 (default) or 16 bits a sample (-d16). */
  psdDepth?: 8 | 16;
  /** Source format; 'auto' (default) goes by the leading bytes. */
  from?: 'auto' | 'yvn' | 'psd';
  /** Character set of PSD Pascal layer names (an iconv name); default UTF-8. */
  nameCharset?: string;
  /** Called whenever a stage's percentage changes; returning false cancels (error 111). */
  onProgress?: (progress: Progress) => boolean | void;
  /** Cancels at the next progress step once aborted (error 111). */
  signal?: AbortSignal;
}

export interface FileOptions extends ConvertOptions {
  /** Replace an existing destination (default false: error 112). */
  overwrite?: boolean;
}

/** A failure with the program's code and text: message is its error line, "error(101):Not a supported PSD file". */
export class Yvn2psdError extends Error {
  code: number;
  text: string;
  /** The cause, where the library knows it. */
  detail: string;
}

export type BlendMode =
  | 'normal' | 'multiply' | 'linear dodge' | 'subtract' | 'screen' | 'overlay' | 'darker color'
  | 'lighter color' | 'hard light' | 'soft light' | 'vivid light' | 'linear light' | 'pin light'
  | 'color dodge' | 'color burn' | 'linear burn' | 'darken' | 'lighten' | 'difference' | 'exclusion'
  | 'hue' | 'saturation' | 'color' | 'luminosity';

/** ImageData, or its shape where the environment has none. */
export interface PixelData {
  width: number;
  height: number;
  /** RGBA, 8 bits, straight colour. */
  data: Uint8ClampedArray;
}

/** A layer as ag-psd's Layer has it. */
export interface Layer {
  name?: string;
  left?: number;
  top?: number;
  right?: number;
  bottom?: number;
  /** 0 to 1. */
  opacity?: number;
  /** Read from a .yvn: its own opacity, 0 to 16384, written back while opacity still rounds to it. Not ag-psd's. */
  opacityExact?: number;
  hidden?: boolean;
  blendMode?: BlendMode | string;
  clipping?: boolean;
  protected?: { transparency?: boolean; composite?: boolean; position?: boolean };
  transparencyProtected?: boolean;
  imageData?: PixelData;
  /** Read where there is no imageData (a browser's canvas). */
  canvas?: { width: number; height: number; getContext(kind: '2d'): any };
  /** Groups are flattened when written. */
  children?: Layer[];
}

/** A document as ag-psd's Psd has it. */
export interface Psd {
  width: number;
  height: number;
  channels?: number;
  bitsPerChannel?: number;
  colorMode?: number;
  /** Bottom layer first. */
  children?: Layer[];
  /** The merged image. */
  imageData?: PixelData;
}

export interface ReadOptions {
  from?: 'auto' | 'yvn' | 'psd';
  nameCharset?: string;
  skipLayerImageData?: boolean;
  skipCompositeImageData?: boolean;
}

export interface WriteOptions {
  /** .yvn: deflate the layer records (default true). */
  compress?: boolean;
  /** PSD: 8 (default) or 16 bits a sample. */
  psdDepth?: 8 | 16;
  nameCharset?: string;
}

/** Converts a .yvn to PSD (PSB past 30,000 pixels a side) or a PSD/PSB to .yvn. The result is the module's own buffer, handed over without a copy. */
export function convert(input: Input, options?: ConvertOptions): Promise<Uint8Array>;
/** The same between files: the source is read piece by piece, the destination replaced only once complete. */
export function convertFile(source: string, destination: string, options?: FileOptions): Promise<void>;
/** Reads a .yvn, PSD or PSB into ag-psd's Psd shape: flat layers (groups flattened, working layers kept), 8-bit pixels as the PSD writer stores them, the merged image. */
export function readPsd(input: Input, options?: ReadOptions): Promise<Psd>;
/** Writes a .yvn from ag-psd's Psd (its thumbnail composed by the library). */
export function writeYvn(psd: Psd, options?: WriteOptions): Promise<Uint8Array>;
/** Writes a PSD from ag-psd's Psd (its merged image composed by the library). */
export function writePsd(psd: Psd, options?: WriteOptions): Promise<Uint8Array>;
/** The library's version, "1.1.0". */
export function version(): Promise<string>;
/** The text of an error code, as the program prints it. */
export function errorText(code: number): Promise<string>;
/** The blend modes, by the library's enumeration. */
export const blendModes: BlendMode[];
